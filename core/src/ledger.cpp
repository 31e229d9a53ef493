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
    Node* next_same_id = nullptr;  // later pending record with the same id
    std::uint64_t seq = 0;         // position in ledger order
    bool has_due = false;
    std::multimap<double, Node*>::iterator due;
};

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

    // Indexes first: if either insertion runs out of memory, nothing changed.
    const std::string_view id = n->record.decision_id;
    auto [slot, inserted] = by_id_.try_emplace(id, n);
    if (!std::isnan(due)) {
        try {
            n->due = by_due_.emplace(due, n);
            n->has_due = true;
        } catch (...) {
            if (inserted) by_id_.erase(slot);
            throw;
        }
    }
    if (!inserted) {
        // Ids repeat only in restored states; chain in ledger order.
        Node* last = slot->second;
        while (last->next_same_id != nullptr) last = last->next_same_id;
        last->next_same_id = n;
    }

    node.release();
    n->prev = tail_;
    if (tail_ != nullptr) tail_->next = n;
    else head_ = n;
    tail_ = n;
    ++size_;
    ++next_seq_;
}

Ledger::Handle Ledger::find(std::string_view id) const {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : it->second;
}

std::vector<Ledger::Handle> Ledger::due_at(double t) const {
    std::vector<Handle> due;
    for (auto it = by_due_.begin(); it != by_due_.end() && it->first <= t; ++it) {
        due.push_back(it->second);
    }
    std::sort(due.begin(), due.end(), [](Handle a, Handle b) { return a->seq < b->seq; });
    return due;
}

DecisionRecord Ledger::take(Handle handle) {
    Node* n = const_cast<Node*>(handle);

    auto slot = by_id_.find(std::string_view(n->record.decision_id));
    if (slot->second == n) {
        // The id's first record leaves: the next duplicate, if any, takes
        // over, keyed on a view of its own id.
        auto entry = by_id_.extract(slot);
        if (Node* heir = n->next_same_id; heir != nullptr) {
            // Reusing the extracted entry keeps this path free of allocation.
            entry.key() = std::string_view(heir->record.decision_id);
            entry.mapped() = heir;
            by_id_.insert(std::move(entry));
        }
    } else {
        Node* before = slot->second;
        while (before->next_same_id != n) before = before->next_same_id;
        before->next_same_id = n->next_same_id;
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
    Ledger::Handle h = bandit.ledger.find(decision_id);
    if (h == nullptr) return std::nullopt;
    DecisionRecord record = bandit.ledger.take(h);
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
    Ledger::Handle h = bandit.ledger.find(decision_id);
    if (h == nullptr) return std::optional<Resolution>();
    DecisionRecord record = bandit.ledger.take(h);
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
