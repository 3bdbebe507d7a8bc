// Upward reachability: does a node lie below any node of a set?
//
// `is_below_rec` climbs from a node along the upward links.  Chains of op nodes (an op's
// single parent) are climbed in a loop; every value node opens a level whose parents are
// tried in stored order, the first true answer ending the whole search.  The levels live
// on an explicit stack, so a chain of a million nodes needs no native recursion.  A value
// node already on the current path, and an op chain that comes back on itself, end their
// branch with false.
#include "reach.hpp"

#include <utility>
#include <vector>

namespace quill {

namespace {

// A set of caller-given ids (any u64, never range-checked).  Short lists are scanned in
// place; longer ones go into an open-addressing table.
class IdSet {
public:
    explicit IdSet(std::span<const NodeId> ids) : ids_(ids) {
        if (ids.size() <= kScanLimit) return;
        std::size_t cap = 16;
        while (cap < ids.size() * 2) cap <<= 1;
        slots_.assign(cap, kEmpty);
        mask_ = cap - 1;
        for (NodeId id : ids) insert(id);
    }

    bool contains(NodeId id) const {
        if (slots_.empty()) {
            for (NodeId x : ids_)
                if (x == id) return true;
            return false;
        }
        if (id == kEmpty) return has_empty_key_;
        for (std::size_t i = mix(id) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == id) return true;
            if (slots_[i] == kEmpty) return false;
        }
    }

private:
    static constexpr std::size_t kScanLimit = 8;
    static constexpr NodeId kEmpty = ~NodeId(0);
    std::span<const NodeId> ids_;
    std::vector<NodeId> slots_;
    std::size_t mask_ = 0;
    bool has_empty_key_ = false;

    static std::uint64_t mix(std::uint64_t x) {
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ull;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    }
    void insert(NodeId id) {
        if (id == kEmpty) {
            has_empty_key_ = true;
            return;
        }
        std::size_t i = mix(id) & mask_;
        while (slots_[i] != kEmpty && slots_[i] != id) i = (i + 1) & mask_;
        slots_[i] = id;
    }
};

// The value nodes on the current path, each with a cursor over its parents.  Short paths
// are searched by a scan; once the path grows deep a flat marker array takes over.
class PathStack {
public:
    struct Level {
        Idx node;
        Idx cursor;  // next entry of node's parents to try
    };

    explicit PathStack(std::uint64_t n) : n_(n) {}

    bool empty() const { return levels_.empty(); }
    Level& top() { return levels_.back(); }

    bool contains(Idx v) const {
        if (!marks_.empty()) return marks_[v] != 0;
        for (const Level& l : levels_)
            if (l.node == v) return true;
        return false;
    }
    void push(Idx v) {
        levels_.push_back({v, 0});
        if (!marks_.empty()) {
            marks_[v] = 1;
        } else if (levels_.size() > kScanLimit) {
            marks_.assign(n_, 0);
            for (const Level& l : levels_) marks_[l.node] = 1;
        }
    }
    void pop() {
        if (!marks_.empty()) marks_[levels_.back().node] = 0;
        levels_.pop_back();
    }

private:
    static constexpr std::size_t kScanLimit = 32;
    std::uint64_t n_;
    std::vector<Level> levels_;
    std::vector<std::uint8_t> marks_;
};

// A target set of valid node ids kept as marks over the node list by the caller.  It is
// only asked about ids that have passed the range check.
class MarkedSet {
public:
    MarkedSet(std::span<const std::uint32_t> marks, std::uint32_t stamp)
        : marks_(marks), stamp_(stamp) {}
    bool contains(NodeId id) const { return marks_[id] == stamp_; }

private:
    std::span<const std::uint32_t> marks_;
    std::uint32_t stamp_;
};

template <class Target>
class Reach {
public:
    Reach(const Graph& g, Target target, ClimbOptions opts, Poll& poll)
        : g_(g), target_(std::move(target)), skip_(opts.skip), include_self_(opts.include_self),
          path_(g.size()), poll_(poll) {}

    bool run(NodeId start) {
        Step s = is_below_rec(start);
        if (s != Step::Opened) return s == Step::True;
        while (!path_.empty()) {
            PathStack::Level& top = path_.top();
            const std::span<const Idx> parents = g_.parents(top.node);
            if (top.cursor < parents.size()) {
                const Idx p = parents[top.cursor++];
                if (is_below_rec(p) == Step::True) return true;
            } else {
                path_.pop();
            }
        }
        return false;
    }

private:
    enum class Step { False, True, Opened };

    const Graph& g_;
    Target target_;
    IdSet skip_;
    bool include_self_;
    PathStack path_;
    Poll& poll_;

    // Climbs from n through any chain of op nodes.  Answers at once, or opens a level for
    // the value node the climb ends on.
    Step is_below_rec(NodeId n) {
        // Cycle watch over the op chain (Brent): `anchor` is an op already passed, moved
        // ahead at doubling distances; meeting it again means the chain loops.  Every op
        // of the loop has been looked at by then, so no answer is lost.
        NodeId anchor = 0;
        bool anchored = false;
        std::uint64_t power = 1, dist = 0;
        for (;;) {
            poll_.step();
            if (skip_.contains(n)) return Step::False;
            g_.check(n);
            if (!g_.is_op(n)) break;
            if (target_.contains(n)) return Step::True;
            const Idx p = g_.parent(n);
            if (p == kNone) return Step::False;
            if (!anchored || dist == power) {
                anchor = n;
                anchored = true;
                power <<= 1;
                dist = 0;
            }
            ++dist;
            if (p == anchor) return Step::False;
            n = p;
        }
        const Idx v = Idx(n);
        if (path_.contains(v)) return Step::False;
        if (include_self_ && target_.contains(n)) return Step::True;
        path_.push(v);
        return Step::Opened;
    }
};

}  // namespace

bool is_below(const Graph& g, NodeId start, std::span<const NodeId> nodes, ClimbOptions opts) {
    Poll poll;
    Reach<IdSet> search(g, IdSet(nodes), opts, poll);
    return search.run(start);
}

bool is_below_marked(const Graph& g, NodeId start, std::span<const std::uint32_t> marks,
                     std::uint32_t stamp, ClimbOptions opts, Poll& poll) {
    Reach<MarkedSet> search(g, MarkedSet(marks, stamp), opts, poll);
    return search.run(start);
}

}  // namespace quill
