// The state of the leaf gluing search: the working graph that the glue steps change in
// place, the journal that undoes them, which nodes a copy of the working graph would hold,
// and the set of states whose hash was already taken.
//
// The search (glue.cpp) sees the state only through named operations:
//   glue / unglue          a glue step and its undoing (the journal saves what it changes,
//                          and the fingerprint of the state follows both),
//   refresh / in_component membership in the root's component as the graph is now,
//   look_up / known / remember
//                          the set of states whose hash was taken, found by fingerprint
//                          and compared exactly, which lets a level skip the hash of a
//                          state met before.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph.hpp"
#include "id_sets.hpp"
#include "merge.hpp"
#include "node_map.hpp"

namespace quill {

// True when every link of `w` is stored on both of its ends, in the fields of the nodes'
// kinds (see glue_state.cpp).  On such a graph gluing a leaf away removes exactly that
// leaf from the root's component.
bool links_mirrored(const Graph& w, Poll& poll);

// The lists and parents that the glue steps on the current path have changed, each with
// its contents from before the change, so that the steps can be undone in reverse order.
class GlueJournal {
public:
    // What an entry saved; the parent is one id, the others are lists.  The numbers are
    // the places of a node's four fields among its tracked lists (GlueState).
    enum Saved : std::uint32_t { kParents, kOptions, kChildren, kParent };
    static constexpr std::uint32_t kSavedKinds = 4;
    struct Entry {
        Idx node;
        Saved what;
        std::size_t at;  // where its saved contents start in saved_ids_
        std::size_t len;
    };

    // The journal's length: undo(mark) puts back everything saved after it.
    std::size_t mark() const { return entries_.size(); }

    // Saves exactly what carry_out(g, keep, other, both sides, plan) will change (see
    // merge.hpp), each list or parent once.
    void save_merge(const Graph& g, NodeId keep, NodeId other, const MergePlan& plan);

    // Puts back everything saved after `mark`, latest first.
    void undo(Graph& g, std::size_t mark);

    // The entries saved after `mark`, and an entry's saved contents.
    std::span<const Entry> since(std::size_t mark) const {
        return std::span<const Entry>(entries_).subspan(mark);
    }
    std::span<const Idx> saved(const Entry& e) const { return {saved_ids_.data() + e.at, e.len}; }

    static Field field(Saved what);

private:
    std::vector<Entry> entries_;
    std::vector<Idx> saved_ids_;  // the saved contents of all entries, end to end
    void save_list(const Graph& g, NodeId id, Saved what);
    void save_parent(const Graph& g, NodeId id);
};

// The states whose hash was taken, found by a fingerprint: a flat open-addressing table of
// fingerprints, each slot pointing at the exact key of its state.  Two states can share a
// fingerprint; a lookup asks the caller to compare the keys of every slot whose
// fingerprint agrees, so that a state is found only when it is the same.
class StateTable {
public:
    // True when same(key) holds for the key of some kept state with this fingerprint;
    // `compared` grows by the words of the keys handed to `same`.
    template <class Same>
    bool find(std::uint64_t fingerprint, Same&& same, std::size_t& compared) const {
        if (slots_.empty()) return false;
        for (std::size_t i = home(fingerprint);; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.at == kFree) return false;
            if (s.fingerprint != fingerprint) continue;
            const std::span<const Idx> key = key_at(s.at);
            compared += key.size();
            if (same(key)) return true;
        }
    }
    // Keeps `key` under its fingerprint (a state that find() did not find).
    void add(std::uint64_t fingerprint, std::span<const Idx> key);
    // What add() costs beyond the key's words: its slot at the table's lowest load (a
    // quarter, just after doubling) and the key's length word.
    static constexpr std::uint64_t kBytesPerKey = 4 * 16 + sizeof(Idx);

private:
    static constexpr std::uint64_t kFree = ~std::uint64_t(0);
    struct Slot {
        std::uint64_t fingerprint;
        std::uint64_t at;  // where the key's length word is in keys_; kFree: an empty slot
    };
    // The first table: 64 slots, 1 KiB, hold 32 states at the load limit of one half.
    static constexpr std::size_t kFirstSlots = 64;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t count_ = 0;
    std::vector<Idx> keys_;  // each key's length, then its words, end to end

    std::size_t home(std::uint64_t fingerprint) const { return fibonacci_home(fingerprint, shift_); }
    std::span<const Idx> key_at(std::uint64_t at) const { return {keys_.data() + at + 1, keys_[at]}; }
    void grow();
};

// The working graph W of the search with its undo journal, its component, and the
// fingerprint of its state.
//
// The state of W is the set of lists (a node's parents, options or children, or its
// parent as a list of one) whose contents differ from those of the copy W started as,
// with their contents.  Its fingerprint is the sum of a hash of (node, field, contents)
// over those lists, kept up as each glue step and its undoing change a few lists: a
// step costs the lists it changes, whatever the depth of the search.  Equal states have
// equal fingerprints; states whose fingerprints agree are compared exactly, list by list.
class GlueState {
public:
    // What glue() did, for unglue() to take back.
    struct Step {
        std::size_t mark;           // the journal's length before the step
        std::size_t changes;        // the length of changes_ before the step
        std::uint64_t fingerprint;  // the fingerprint before the step
        Idx left = kNone;           // the leaf that left the component, if any
        bool left_root = false;     // the step glued the root away
    };

    // `w` is a compacted copy (every node in the root's component).
    GlueState(Graph&& w, Poll& poll);

    const Graph& graph() const { return w_; }

    // Glues leaf f onto p in W (merge_value_nodes with both sides), saving first what the
    // merge will change.
    Step glue(NodeId f, NodeId p);
    // Takes a glue step back; steps are undone latest first.
    void unglue(const Step& step);

    // Brings the membership test up to date with W; called before the tests of a glue
    // step.  Costs nothing on a graph whose links are mirrored.
    void refresh();
    // True when x is in the root's component of W as it was at the last refresh (what a
    // copy of W would hold).
    bool in_component(NodeId x) const {
        if (!mirrored_) return component_.contains(x);
        return root_left_ ? x == w_.root_id : !left_.contains(x);
    }

    // Looks the state of W up among the remembered ones (known() then tells whether it is
    // there) and returns the words compared, the work done.
    std::size_t look_up();
    // True when the state looked up last was remembered as hashed.
    bool known() const { return known_; }
    // Remembers the state looked up last, which was not known, as hashed.  `recorded`: its
    // hash was new and its graph recorded.  The states of recorded graphs are always kept
    // (each takes less than the graph it saves a hash of); the others only while they fit
    // kUnrecordedStateBudget.
    void remember(bool recorded);

    // True when a level with W in its state now and its leaves from `start` on was
    // remembered as finished; adds the words compared to `compared`.
    bool finished(std::size_t start, std::size_t& compared) const;
    // Remembers the state of W with `start` as finished (while it fits
    // kUnrecordedStateBudget).
    void remember_finished(std::size_t start);
    // How many lists differ from the copy W started as: 0 exactly when W is back to it.
    std::size_t changed_lists() const { return differing_.size(); }

private:
    Graph w_;
    Poll& poll_;
    GlueJournal journal_;
    MergePlan plan_;  // the merge of each glue step, its buffers reused

    // Membership.  With mirrored links, the set of glued-away leaves (and whether the root
    // was glued away); otherwise the component found by the last discovery from the root.
    bool mirrored_ = false;
    bool root_left_ = false;
    NodeSet left_;
    StampedSet component_;
    std::vector<Idx> discovery_stack_;
    void discover_component();

    // A list that some glue step has changed, from its first change on: its contents in
    // the copy W started as, and its share of the fingerprint.
    struct TrackedList {
        Idx node = kNone;
        std::uint32_t original_len = kNone;  // kNone: the contents are not taken yet
        std::uint64_t original_at = 0;       // where they are in originals_
        std::uint64_t share = 0;             // its hash while it differs, else 0
        Idx differing_at = kNone;            // its place in differing_ while it differs
    };
    // The lists of a node, tracked four at a time in GlueJournal::Saved order from the
    // first change of any of them: node -> index of the first in tracked_.
    IdxMap tracked_of_;
    std::vector<TrackedList> tracked_;
    std::vector<Idx> originals_;
    std::vector<Idx> differing_;     // the tracked lists that differ, in no set order
    std::uint64_t fingerprint_ = 0;  // the sum of their shares
    // What a glue step changed about a tracked list, for unglue to put back.
    struct Change {
        Idx list;
        bool differed;
        std::uint64_t share;
    };
    std::vector<Change> changes_;
    std::vector<Idx> step_lists_;  // glue's scratch: the tracked lists of the step's entries

    Idx track(NodeId node, GlueJournal::Saved what, std::span<const Idx> now);
    std::span<const Idx> current(const TrackedList& t, Idx which, Idx& parent_now) const;
    void update(Idx which);
    void set_differing(Idx which, bool differs);
    // A key's first word: kHashedTag for a hashed state, the level's start + 1 for a
    // finished level; `tag` is that word of the key sought.
    static constexpr Idx kHashedTag = 0;
    bool same_state(std::span<const Idx> key, Idx tag) const;
    void keep_key(Idx tag, std::uint64_t fingerprint, bool always);

    // The states whose hash was taken.
    StateTable hashed_states_;
    bool known_ = false;
    std::vector<Idx> key_;  // remember's scratch: the key of the state
    std::uint64_t unrecorded_state_bytes_ = 0;
    // The keys of states whose graph was not recorded (its hash was met before) save only
    // a hash when the state comes again, and those of finished levels a search of levels
    // that records nothing new; a search can reach far more of them than it records
    // graphs.  32 MiB bounds what they take together, a small share beside the results a
    // search of that size keeps, while holding the states of some hundred thousand steps.
    static constexpr std::uint64_t kUnrecordedStateBudget = 32ull << 20;
};

}  // namespace quill
