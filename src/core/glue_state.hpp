// The state of the leaf gluing search: the working graph that the glue steps change in
// place, the journal that undoes them, which nodes a copy of the working graph would hold,
// and the set of states whose hash was already taken.
//
// The search (glue.cpp) sees the state only through named operations:
//   glue / unglue          a glue step and its undoing (the journal saves what it changes),
//   refresh / in_component membership in the root's component as the graph is now,
//   describe / known / remember
//                          an exact description of the state and the set of described
//                          states, which lets a level skip the hash of a state met before.
// Any other way of telling states apart (an incremental fingerprint kept up by glue and
// unglue, say) replaces describe, known and remember and nothing else.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "graph.hpp"
#include "id_sets.hpp"

namespace quill {

// True when every link of `w` is stored on both of its ends, in the fields of the nodes'
// kinds (see glue_state.cpp).  On such a graph gluing a leaf away removes exactly that
// leaf from the root's component.
bool links_mirrored(const Graph& w, Poll& poll);

// The lists and parents that the glue steps on the current path have changed, each with
// its contents from before the change, so that the steps can be undone in reverse order.
class GlueJournal {
public:
    // The journal's length: undo(mark) puts back everything saved after it.
    std::size_t mark() const { return entries_.size(); }

    // Saves what merge_value_nodes(g, keep, other, both sides) will change: the parents
    // and options of both nodes, the children of `other`'s parents, the parent of each of
    // its options.
    void save_merge(const Graph& g, NodeId keep, NodeId other);

    // Puts back everything saved after `mark`, latest first.
    void undo(Graph& g, std::size_t mark);

    // Appends to `key` an exact description of how `g` differs from its state before the
    // first saved change: for each changed list or parent, in order of node and field,
    // the node, the field, the length and the current contents.  Lists that are back to
    // their first saved contents are left out, so equal states give equal keys.
    void describe(const Graph& g, std::vector<Idx>& key);

private:
    // What an entry saved; the parent is one id, the others are lists.
    enum Saved : std::uint32_t { kParents, kOptions, kChildren, kParent };
    struct Entry {
        Idx node;
        Saved what;
        std::size_t at;  // where its saved contents start in saved_ids_
        std::size_t len;
    };
    std::vector<Entry> entries_;
    std::vector<Idx> saved_ids_;  // the saved contents of all entries, end to end
    // describe's scratch: every entry's node and field with its index, sorted.  One word
    // each, node above field above index, while the indices fit the low kIndexBits, the
    // 30 bits a word has left beside a 32-bit node and a 2-bit field (sorting single words
    // keeps describe as cheap as it was before the state had a unit of its own); pairs
    // past 2^30 entries.
    static constexpr unsigned kIndexBits = 30;
    std::vector<std::uint64_t> by_node_packed_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> by_node_;
    // Appends entry e's list or parent to `key` when it differs from its saved contents.
    void describe_entry(const Graph& g, const Entry& e, std::vector<Idx>& key) const;

    static Field field(Saved what);
    std::span<const Idx> saved(const Entry& e) const { return {saved_ids_.data() + e.at, e.len}; }
    void save_list(const Graph& g, NodeId id, Saved what);
    void save_parent(const Graph& g, NodeId id);
};

// The working graph W of the search with its undo journal and its component.
class GlueState {
public:
    // What glue() did, for unglue() to take back.
    struct Step {
        std::size_t mark;     // the journal's length before the step
        Idx left = kNone;     // the leaf that left the component, if any
        bool left_root = false;  // the step glued the root away
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

    // Describes the state of W (the current description, which known() and remember()
    // read) and returns its size in entries, the work done.
    std::size_t describe();
    // True when the described state was remembered as hashed.
    bool known() const { return hashed_states_.count(key_) != 0; }
    // Remembers the described state as hashed.  `recorded`: its hash was new and its graph
    // recorded.  The states of recorded graphs are always kept (each takes less than the
    // graph it saves a hash of); the others only while they fit kUnrecordedStateBudget.
    void remember(bool recorded);

private:
    Graph w_;
    Poll& poll_;
    GlueJournal journal_;

    // Membership.  With mirrored links, the set of glued-away leaves (and whether the root
    // was glued away); otherwise the component found by the last discovery from the root.
    bool mirrored_ = false;
    bool root_left_ = false;
    NodeSet left_;
    StampedSet component_;
    std::vector<Idx> discovery_stack_;
    void discover_component();

    // The states whose hash was taken.
    // A multiply-xorshift mix over the key's words: the start is 2^64 / golden ratio (any
    // odd constant with mixed bits), the multiplier that of splitmix64, which spreads each
    // word over the high bits, and the shift folds the high bits back down so that the
    // set's bucket index, taken from the low bits, depends on every word.  Kept in the
    // header so that the set's lookups inline it.
    struct KeyHash {
        std::size_t operator()(const std::vector<Idx>& key) const {
            std::uint64_t h = 0x9e3779b97f4a7c15ull ^ key.size();
            for (Idx x : key) {
                h ^= x;
                h *= 0xbf58476d1ce4e5b9ull;
                h ^= h >> 29;
            }
            return std::size_t(h);
        }
    };
    std::unordered_set<std::vector<Idx>, KeyHash> hashed_states_;
    std::vector<Idx> key_;  // the last description
    std::uint64_t unrecorded_state_bytes_ = 0;
    // The keys of states whose graph was not recorded (its hash was met before) save only
    // a hash when the state comes again, and a search can reach far more such states than
    // it records graphs; 32 MiB bounds what they take, a small share beside the results a
    // search of that size keeps, while holding the states of some hundred thousand steps.
    static constexpr std::uint64_t kUnrecordedStateBudget = 32ull << 20;
    // What one kept key costs beyond its entries: the set's node (next pointer, cached
    // hash), the vector's three words, and the allocator's headers, about 64 bytes.
    static constexpr std::uint64_t kKeyOverheadBytes = 64;
};

}  // namespace quill
