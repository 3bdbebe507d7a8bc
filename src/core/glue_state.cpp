// The state of the leaf gluing search: working graph, undo journal, component membership
// and the set of hashed states (see glue_state.hpp, and glue.cpp for why the in-place
// search gives what a search that copies its graph at every step gives).
#include "glue_state.hpp"

#include <algorithm>

#include "merge.hpp"

namespace quill {

namespace {

// Lists longer than this are not searched by links_mirrored: one search per link would
// make the check quadratic in a hub's list, and a graph with such a hub only loses the
// fast membership test (it finds its component afresh at each step), which costs speed on
// that rare shape and nothing else.  32 covers the lists of the graphs the search is run
// on, which hold a handful of links per node.
constexpr std::size_t kMirrorScanLimit = 32;

bool short_list_holds(std::span<const Idx> list, NodeId x) {
    return list.size() <= kMirrorScanLimit && std::find(list.begin(), list.end(), Idx(x)) != list.end();
}

// An op's side of the mirror test: no parents or options, and each child lists it among
// its parents.
bool op_links_mirrored(const Graph& w, NodeId op, Poll& poll) {
    if (!w.parents(op).empty() || !w.options(op).empty()) return false;
    const std::span<const Idx> children = w.children(op);
    if (children.size() > kMirrorScanLimit) return false;
    for (Idx v : children)
        if (!short_list_holds(w.parents(v), op)) return false;
    poll.step(1 + children.size());
    return true;
}

// A value's side: no children or parent, each parent lists it among its children, each
// option has it as its parent.  Marks the options in `listed`.
bool value_links_mirrored(const Graph& w, NodeId value, std::vector<std::uint8_t>& listed,
                          Poll& poll) {
    if (!w.children(value).empty() || w.parent(value) != kNone) return false;
    const std::span<const Idx> parents = w.parents(value), options = w.options(value);
    if (parents.size() > kMirrorScanLimit) return false;
    for (Idx o : parents)
        if (!short_list_holds(w.children(o), value)) return false;
    bool apart = false;
    poll.step(1 + parents.size() + poll.scan(options.size(), [&](std::size_t i) {
        apart |= w.parent(options[i]) != value;
        listed[options[i]] = 1;
    }));
    return !apart;
}

}  // namespace

// Every link stored on both ends: no op has parents or options and no value has children
// or a parent; an op lists a value among its children exactly when the value lists the op
// among its parents; a value lists an op among its options exactly when the op's parent
// is that value.  Lists longer than kMirrorScanLimit count as not mirrored.
bool links_mirrored(const Graph& w, Poll& poll) {
    const std::uint64_t n = w.size();
    std::vector<std::uint8_t> listed(n, 0);  // ops found among some value's options
    for (NodeId id = 0; id < n; ++id) {
        const bool mirrored =
            w.is_op(id) ? op_links_mirrored(w, id, poll) : value_links_mirrored(w, id, listed, poll);
        if (!mirrored) return false;
    }
    // An op with a parent that does not list it among its options.
    bool unlisted = false;
    poll.step(poll.scan(n, [&](std::size_t id) {
        unlisted |= w.is_op(id) && w.parent(id) != kNone && !listed[id];
    }));
    return !unlisted;
}

// ---- the journal ----

Field GlueJournal::field(Saved what) {
    return what == kParents ? Field::Parents : what == kOptions ? Field::Options : Field::Children;
}

void GlueJournal::save_list(const Graph& g, NodeId id, Saved what) {
    const std::span<const Idx> list = g.list(id, field(what));
    entries_.push_back({Idx(id), what, saved_ids_.size(), list.size()});
    saved_ids_.insert(saved_ids_.end(), list.begin(), list.end());
}

void GlueJournal::save_parent(const Graph& g, NodeId id) {
    entries_.push_back({Idx(id), kParent, saved_ids_.size(), 1});
    saved_ids_.push_back(g.parent(id));
}

void GlueJournal::save_merge(const Graph& g, NodeId keep, NodeId other) {
    save_list(g, keep, kParents);
    save_list(g, keep, kOptions);
    save_list(g, other, kParents);
    save_list(g, other, kOptions);
    for (Idx o : g.parents(other)) save_list(g, o, kChildren);
    for (Idx o : g.options(other)) save_parent(g, o);
}

void GlueJournal::undo(Graph& g, std::size_t mark) {
    while (entries_.size() > mark) {
        const Entry& e = entries_.back();
        if (e.what == kParent)
            g.set_parent(e.node, saved_ids_[e.at]);
        else
            g.assign(e.node, field(e.what), saved(e));
        saved_ids_.resize(e.at);
        entries_.pop_back();
    }
}

// Inlined into describe, its one caller, which runs at every level that records.
[[gnu::always_inline]] inline void GlueJournal::describe_entry(const Graph& g, const Entry& e,
                                                               std::vector<Idx>& key) const {
    std::span<const Idx> now;
    Idx parent_now;
    if (e.what == kParent) {
        parent_now = g.parent(e.node);
        now = {&parent_now, 1};
    } else {
        now = g.list(e.node, field(e.what));
    }
    const std::span<const Idx> before = saved(e);
    if (std::equal(now.begin(), now.end(), before.begin(), before.end())) return;
    key.push_back(e.node);
    key.push_back(e.what);
    key.push_back(Idx(now.size()));
    key.insert(key.end(), now.begin(), now.end());
}

void GlueJournal::describe(const Graph& g, std::vector<Idx>& key) {
    // The entries by node and field, each group in saving order: the group's first entry
    // holds the contents from before the first change.  A node and field take 34 bits.
    const std::size_t count = entries_.size();
    auto list_of = [&](std::size_t i) {
        return (std::uint64_t(entries_[i].node) << 2) | entries_[i].what;
    };
    std::uint64_t last = ~std::uint64_t(0);
    if (count <= (std::uint64_t(1) << kIndexBits)) {
        constexpr std::uint64_t kIndexMask = (std::uint64_t(1) << kIndexBits) - 1;
        by_node_packed_.clear();
        for (std::size_t i = 0; i < count; ++i)
            by_node_packed_.push_back(list_of(i) << kIndexBits | i);
        std::sort(by_node_packed_.begin(), by_node_packed_.end());
        for (std::uint64_t packed : by_node_packed_) {
            if ((packed >> kIndexBits) == last) continue;
            last = packed >> kIndexBits;
            describe_entry(g, entries_[packed & kIndexMask], key);
        }
        return;
    }
    by_node_.clear();
    for (std::size_t i = 0; i < count; ++i) by_node_.emplace_back(list_of(i), i);
    std::sort(by_node_.begin(), by_node_.end());
    for (const auto& [list, index] : by_node_) {
        if (list == last) continue;
        last = list;
        describe_entry(g, entries_[index], key);
    }
}

// ---- the state ----

namespace {
// W is a compacted copy: every node belongs to the search, so the set of glued-away
// leaves is flat bits over all of W from the start (a start size no bound reaches).
constexpr std::uint64_t kFlatFromTheStart = ~std::uint64_t(0);
}  // namespace

GlueState::GlueState(Graph&& w, Poll& poll)
    : w_(std::move(w)), poll_(poll), left_(w_.size(), kFlatFromTheStart), component_(w_.size()) {
    mirrored_ = links_mirrored(w_, poll_);
}

GlueState::Step GlueState::glue(NodeId f, NodeId p) {
    Step step{journal_.mark()};
    if (f == p) return step;  // the merge changes nothing
    journal_.save_merge(w_, p, f);
    poll_.step(w_.parents(f).size() + w_.options(f).size());
    merge_value_nodes(w_, p, f, {.upper = true, .lower = true});
    if (mirrored_) {
        if (f == w_.root_id) {
            if (!root_left_) step.left_root = root_left_ = true;
        } else if (!left_.contains(f)) {
            left_.insert(f);
            step.left = Idx(f);
        }
    }
    return step;
}

void GlueState::unglue(const Step& step) {
    journal_.undo(w_, step.mark);
    if (step.left != kNone) left_.erase(step.left);
    if (step.left_root) root_left_ = false;
}

void GlueState::refresh() {
    if (!mirrored_) discover_component();
}

// Marks the nodes that a copy of W would hold: a discovery from the root through the four
// link fields.
void GlueState::discover_component() {
    component_.clear();
    std::vector<Idx>& stack = discovery_stack_;
    stack.clear();
    stack.push_back(Idx(w_.root_id));
    component_.insert(w_.root_id);
    // Returns the entries scanned but not yet counted: a long list polls within.
    auto push = [&](std::span<const Idx> ids) {
        return poll_.scan(ids.size(), [&](std::size_t i) {
            const Idx m = ids[i];
            if (!component_.contains(m)) {
                component_.insert(m);
                stack.push_back(m);
            }
        });
    };
    while (!stack.empty()) {
        const Idx x = stack.back();
        stack.pop_back();
        std::size_t scanned = push(w_.children(x)) + push(w_.options(x)) + push(w_.parents(x));
        if (Idx p = w_.parent(x); p != kNone) scanned += push({&p, 1});
        poll_.step(1 + scanned);
    }
}

std::size_t GlueState::describe() {
    key_.clear();
    journal_.describe(w_, key_);
    return key_.size();
}

void GlueState::remember(bool recorded) {
    const std::uint64_t bytes = key_.size() * sizeof(Idx) + kKeyOverheadBytes;
    if (!recorded) {
        if (unrecorded_state_bytes_ + bytes > kUnrecordedStateBudget) return;
        unrecorded_state_bytes_ += bytes;
    }
    hashed_states_.insert(key_);
}

}  // namespace quill
