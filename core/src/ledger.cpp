#include "ledger.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "decide.hpp"
#include "model.hpp"

namespace ordwyne {

// A pending record, linked in ledger order. Nodes never move, so the id
// index can key on a view of the node's own id.
struct Ledger::Node {
    DecisionRecord record;
    Node* prev = nullptr;
    Node* next = nullptr;
    // Pending records with the same id form a doubly linked chain in ledger
    // order, and its first node knows the last: appending and removing cost
    // the same however many records share an id.
    Node* next_same_id = nullptr;
    Node* prev_same_id = nullptr;
    Node* last_same_id = nullptr;  // kept on the chain's first node only
    std::uint64_t seq = 0;         // position in ledger order
    bool has_due = false;
    std::multimap<double, Node*>::iterator due;
};

std::uint64_t Ledger::hash_of(std::string_view id) {
    return std::hash<std::string_view>{}(id);
}

// Needs at least one slot: callers look up only after reserve_one or when
// an id is known to be present.
Ledger::IdIndex::Slot& Ledger::IdIndex::find(std::string_view id, std::uint64_t hash) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.node == nullptr ||
            (slot.hash == hash && std::string_view(slot.node->record.decision_id) == id)) {
            return slot;
        }
    }
}

void Ledger::IdIndex::reserve_one() {
    if (2 * (count_ + 1) <= slots_.size()) return;
    std::vector<Slot> grown(std::max<std::size_t>(16, 2 * slots_.size()), Slot{0, nullptr});
    const std::size_t mask = grown.size() - 1;
    for (const Slot& slot : slots_) {
        if (slot.node == nullptr) continue;
        std::size_t i = slot.hash & mask;
        while (grown[i].node != nullptr) i = (i + 1) & mask;
        grown[i] = slot;
    }
    slots_.swap(grown);
}

void Ledger::IdIndex::erase(Slot& slot) {
    // Backward-shift deletion: later slots of the same probe run move up,
    // so lookups never need tombstones.
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = static_cast<std::size_t>(&slot - slots_.data());
    for (std::size_t i = (hole + 1) & mask; slots_[i].node != nullptr; i = (i + 1) & mask) {
        const std::size_t home = slots_[i].hash & mask;
        // Move slot i into the hole unless its home lies cyclically in (hole, i].
        const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (!stays) {
            slots_[hole] = slots_[i];
            hole = i;
        }
    }
    slots_[hole] = Slot{0, nullptr};
    --count_;
}

void Ledger::IdIndex::clear() {
    slots_.clear();
    count_ = 0;
}

Ledger::~Ledger() { clear(); }

Ledger::Ledger(Ledger&& other) noexcept
    : head_(other.head_),
      tail_(other.tail_),
      size_(other.size_),
      next_seq_(other.next_seq_),
      by_id_(std::move(other.by_id_)),
      by_due_(std::move(other.by_due_)) {
    other.head_ = other.tail_ = nullptr;
    other.size_ = 0;
    other.by_id_.clear();
    other.by_due_.clear();
}

Ledger& Ledger::operator=(Ledger&& other) noexcept {
    if (this != &other) {
        clear();
        head_ = other.head_;
        tail_ = other.tail_;
        size_ = other.size_;
        next_seq_ = other.next_seq_;
        by_id_ = std::move(other.by_id_);
        by_due_ = std::move(other.by_due_);
        other.head_ = other.tail_ = nullptr;
        other.size_ = 0;
        other.by_id_.clear();
        other.by_due_.clear();
    }
    return *this;
}

void Ledger::clear() {
    for (Node* n = head_; n != nullptr;) {
        Node* next = n->next;
        delete n;
        n = next;
    }
    head_ = tail_ = nullptr;
    size_ = 0;
    by_id_.clear();
    by_due_.clear();
}

void Ledger::push_back(DecisionRecord record, double due) {
    auto node = std::make_unique<Node>();
    node->record = std::move(record);
    node->seq = next_seq_;
    Node* n = node.get();

    // Indexes first: if either runs out of memory, nothing has changed.
    const std::string_view id = n->record.decision_id;
    const std::uint64_t hash = hash_of(id);
    by_id_.reserve_one();
    if (!std::isnan(due)) {
        n->due = by_due_.emplace(due, n);
        n->has_due = true;
    }
    IdIndex::Slot& slot = by_id_.find(id, hash);
    if (slot.node == nullptr) {
        slot = IdIndex::Slot{hash, n};
        n->last_same_id = n;
        by_id_.added();
    } else {
        // Ids repeat only in restored states; chain in ledger order.
        Node* first = slot.node;
        Node* last = first->last_same_id;
        last->next_same_id = n;
        n->prev_same_id = last;
        first->last_same_id = n;
    }

    node.release();
    n->prev = tail_;
    if (tail_ != nullptr) tail_->next = n;
    else head_ = n;
    tail_ = n;
    ++size_;
    ++next_seq_;
}

std::optional<DecisionRecord> Ledger::take_first(std::string_view id) {
    if (by_id_.size() == 0) return std::nullopt;
    IdIndex::Slot& slot = by_id_.find(id, hash_of(id));
    if (slot.node == nullptr) return std::nullopt;
    return remove(slot.node, slot);
}

std::vector<Ledger::Handle> Ledger::due_at(double t) const {
    std::vector<Handle> due;
    for (auto it = by_due_.begin(); it != by_due_.end() && it->first <= t; ++it) {
        due.push_back(it->second);
    }
    std::sort(due.begin(), due.end(), [](Handle a, Handle b) { return a->seq < b->seq; });
    return due;
}

std::size_t Ledger::count_due(double t) const {
    std::size_t n = 0;
    for (auto it = by_due_.begin(); it != by_due_.end() && it->first <= t; ++it) ++n;
    return n;
}

DecisionRecord Ledger::take(Handle handle) {
    Node* n = const_cast<Node*>(handle);
    return remove(n, by_id_.find(n->record.decision_id, hash_of(n->record.decision_id)));
}

DecisionRecord Ledger::remove(Node* n, IdIndex::Slot& slot) {
    if (slot.node == n) {
        // The id's first record leaves: the next duplicate, if any, takes
        // over the slot (same id, same hash) and the chain's end.
        if (Node* heir = n->next_same_id; heir != nullptr) {
            heir->prev_same_id = nullptr;
            heir->last_same_id = n->last_same_id;
            slot.node = heir;
        } else {
            by_id_.erase(slot);
        }
    } else {
        Node* before = n->prev_same_id;
        before->next_same_id = n->next_same_id;
        if (n->next_same_id != nullptr) n->next_same_id->prev_same_id = before;
        else slot.node->last_same_id = before;
    }
    if (n->has_due) by_due_.erase(n->due);

    if (n->prev != nullptr) n->prev->next = n->next;
    else head_ = n->next;
    if (n->next != nullptr) n->next->prev = n->prev;
    else tail_ = n->prev;
    --size_;

    DecisionRecord record = std::move(n->record);
    delete n;
    return record;
}

const DecisionRecord& Ledger::record(Handle handle) { return handle->record; }

Ledger::Handle Ledger::next(Handle handle) { return handle->next; }

namespace ledger {

namespace {

Resolution resolution_of(DecisionRecord&& record, double reward, ResolutionKind kind) {
    return Resolution{reward, std::move(record.decision_id), kind};
}

}  // namespace

std::optional<Resolution> learn(Bandit& bandit, std::string_view decision_id, double reward,
                                double t) {
    std::optional<DecisionRecord> taken = bandit.ledger.take_first(decision_id);
    if (!taken) return std::nullopt;
    DecisionRecord& record = *taken;
    const bool due = is_due(record.t, bandit.horizon, t);
    const double classified = due ? bandit.default_reward : reward;
    model::update(bandit.model, record.features, classified);
    bandit.model_version += 1;
    return resolution_of(std::move(record), classified,
                         due ? ResolutionKind::Expired : ResolutionKind::Rewarded);
}

std::vector<Resolution> expire(Bandit& bandit, double t) {
    std::vector<Ledger::Handle> due = bandit.ledger.due_at(t);
    std::vector<Resolution> resolutions;
    resolutions.reserve(due.size());
    for (Ledger::Handle h : due) {
        DecisionRecord record = bandit.ledger.take(h);
        model::update(bandit.model, record.features, bandit.default_reward);
        bandit.model_version += 1;
        resolutions.push_back(
            resolution_of(std::move(record), bandit.default_reward, ResolutionKind::Expired));
    }
    return resolutions;
}

Result<std::optional<Resolution>> learn(Bandit& bandit, std::string_view decision_id,
                                        double reward, double t, TrainFn train) {
    std::optional<DecisionRecord> taken = bandit.ledger.take_first(decision_id);
    if (!taken) return std::optional<Resolution>();
    DecisionRecord& record = *taken;
    bandit.model_version += 1;
    const bool due = is_due(record.t, bandit.horizon, t);
    const double classified = due ? bandit.default_reward : reward;
    if (Status ok = train(record, classified); !ok) return fail(std::move(ok.error()));
    return resolution_of(std::move(record), classified,
                         due ? ResolutionKind::Expired : ResolutionKind::Rewarded);
}

Result<std::vector<Resolution>> expire(Bandit& bandit, double t, TrainFn train) {
    std::vector<Ledger::Handle> due = bandit.ledger.due_at(t);
    std::vector<Resolution> resolutions;
    resolutions.reserve(due.size());
    for (Ledger::Handle h : due) {
        DecisionRecord record = bandit.ledger.take(h);
        bandit.model_version += 1;
        resolutions.push_back(Resolution{bandit.default_reward, record.decision_id,
                                         ResolutionKind::Expired});
        if (Status ok = train(record, bandit.default_reward); !ok) {
            return fail(std::move(ok.error()));
        }
    }
    return resolutions;
}

}  // namespace ledger
}  // namespace ordwyne
