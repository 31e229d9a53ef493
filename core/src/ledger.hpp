// The ledger of pending decisions and their resolution by learn and expire.
// Pending records are indexed by id and by due time, so that learn costs the
// same at any ledger size and expire costs in proportion to what it resolves,
// also when many records share one id (possible only in a restored state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoding.hpp"
#include "error.hpp"
#include "hook.hpp"

namespace ordwyne {

struct Bandit;

// One decision, as returned by decide and kept in the ledger.
struct DecisionRecord {
    std::string decision_id;
    double t = 0.0;
    std::uint64_t candidate_hash = 0;
    std::uint64_t chosen = 0;
    FeatureVector features;
    double propensity = 0.0;
    std::uint64_t model_version = 0;
    std::string salt;
};

enum class ResolutionKind : std::uint8_t { Rewarded, Expired };

struct Resolution {
    std::optional<double> reward;
    std::string decision_id;
    ResolutionKind kind = ResolutionKind::Rewarded;
};

// The caller's training step, replacing the built-in update.
using TrainFn = FunctionRef<Status(const DecisionRecord&, double)>;

class Ledger {
public:
    struct Node;
    using Handle = const Node*;

    Ledger() = default;
    ~Ledger();
    Ledger(Ledger&& other) noexcept;
    Ledger& operator=(Ledger&& other) noexcept;
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Appends at the end of ledger order. `due` is the record's t + horizon;
    // a NaN due time is never reached.
    void push_back(DecisionRecord record, double due);

    // Removes and returns the first pending record with this id in ledger
    // order; none if no record has it.
    std::optional<DecisionRecord> take_first(std::string_view id);

    // The records whose due time is <= t, in ledger order.
    std::vector<Handle> due_at(double t) const;

    // How many records due_at(t) would give, without allocating.
    std::size_t count_due(double t) const;

    // Removes a pending record, keeping the order of the rest.
    DecisionRecord take(Handle handle);

    static const DecisionRecord& record(Handle handle);

    // Visits every pending record in ledger order.
    template <class F>
    void for_each(F&& visit) const {
        for (Handle h = head_; h != nullptr; h = next(h)) visit(record(h));
    }

private:
    // Pending records by id: open addressing with linear probing, so a
    // lookup touches one slot and the node it names, whatever the size.
    class IdIndex {
    public:
        struct Slot {
            std::uint64_t hash;
            Node* node;  // null: empty
        };
        // The slot holding `id`, or the empty slot where it would go.
        Slot& find(std::string_view id, std::uint64_t hash);
        // Room for one more id without passing half full; may throw.
        void reserve_one();
        void erase(Slot& slot);
        void clear();
        std::size_t size() const { return count_; }
        void added() { ++count_; }

    private:
        std::vector<Slot> slots_;
        std::size_t count_ = 0;
    };

    static Handle next(Handle h);
    // Unlinks a node from every index; `slot` is its id's slot.
    DecisionRecord remove(Node* n, IdIndex::Slot& slot);
    static std::uint64_t hash_of(std::string_view id);
    void clear();

    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t next_seq_ = 0;
    // First pending node per id; later duplicates chain from it in ledger order.
    IdIndex by_id_;
    std::multimap<double, Node*> by_due_;
};

namespace ledger {

// Due at time t: the record's t plus horizon is <= t (NaN is never due).
inline bool is_due(double record_t, double horizon, double t) { return record_t + horizon <= t; }

std::optional<Resolution> learn(Bandit& bandit, std::string_view decision_id, double reward,
                                double t);
std::vector<Resolution> expire(Bandit& bandit, double t);

// The hook paths: each resolution commits before its hook runs.
Result<std::optional<Resolution>> learn(Bandit& bandit, std::string_view decision_id,
                                        double reward, double t, TrainFn train);
Result<std::vector<Resolution>> expire(Bandit& bandit, double t, TrainFn train);

}  // namespace ledger
}  // namespace ordwyne
