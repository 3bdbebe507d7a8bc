// The state of the leaf gluing search: working graph, undo journal, component membership,
// the fingerprint of the state and the table of hashed states (see glue_state.hpp, and glue.cpp for why the in-place
// search gives what a search that copies its graph at every step gives).
#include "glue_state.hpp"

#include <algorithm>
#include <bit>
#include <new>

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

// The lists that merge.hpp names as the ones a merge of both sides writes.
void GlueJournal::save_merge(const Graph& g, NodeId keep, NodeId other, const MergePlan& plan) {
    if (!plan.new_parents.empty()) save_list(g, keep, kParents);
    if (!g.parents(other).empty()) save_list(g, other, kParents);
    for (Idx op : plan.rewritten) save_list(g, op, kChildren);
    if (!plan.new_options.empty()) save_list(g, keep, kOptions);
    if (!g.options(other).empty()) save_list(g, other, kOptions);
    for (Idx option : plan.reparented) save_parent(g, option);
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

// ---- the table of states ----

void StateTable::grow() {
    const std::size_t cap = slots_.empty() ? kFirstSlots : 2 * slots_.size();
    std::vector<Slot> slots(cap, Slot{0, kFree});
    const unsigned shift = unsigned(64 - std::countr_zero(cap));
    for (const Slot& s : slots_) {
        if (s.at == kFree) continue;
        std::size_t i = fibonacci_home(s.fingerprint, shift);
        while (slots[i].at != kFree) i = (i + 1) & (cap - 1);
        slots[i] = s;
    }
    slots_.swap(slots);
    mask_ = cap - 1;
    shift_ = shift;
}

// Takes every block first, so that a failed allocation leaves the table as it was.
void StateTable::add(std::uint64_t fingerprint, std::span<const Idx> key) {
    if (key.size() >= kNone) throw std::bad_alloc();  // its length must fit one word
    if (2 * (count_ + 1) > slots_.size()) grow();
    const std::size_t need = keys_.size() + 1 + key.size();
    if (need > keys_.capacity()) keys_.reserve(std::max(need, 2 * keys_.capacity()));
    std::size_t i = home(fingerprint);
    while (slots_[i].at != kFree) i = (i + 1) & mask_;
    slots_[i] = {fingerprint, keys_.size()};
    keys_.push_back(Idx(key.size()));
    keys_.insert(keys_.end(), key.begin(), key.end());
    ++count_;
}

// ---- the state ----

namespace {
// W is a compacted copy: every node belongs to the search, so the set of glued-away
// leaves is flat bits over all of W from the start (a start size no bound reaches).
constexpr std::uint64_t kFlatFromTheStart = ~std::uint64_t(0);

constexpr MergeSides kBothSides{.upper = true, .lower = true};

// A list's share of the fingerprint: a multiply-xorshift chain over its node, field,
// length and entries (the multiplier that of splitmix64, which spreads each entry over
// the high bits, the shift folding them back down), then splitmix64's finish, so that
// every bit of the share, which goes into a sum, depends on every entry.
std::uint64_t list_share(Idx node, std::uint32_t what, std::span<const Idx> ids) {
    std::uint64_t h = ((std::uint64_t(node) << 2 | what) * 0x9e3779b97f4a7c15ull) ^ ids.size();
    for (Idx x : ids) {
        h ^= x;
        h *= 0xbf58476d1ce4e5b9ull;
        h ^= h >> 29;
    }
    h ^= h >> 32;
    h *= 0x94d049bb133111ebull;
    return h ^ (h >> 31);
}
}  // namespace

GlueState::GlueState(Graph&& w, Poll& poll)
    : w_(std::move(w)), poll_(poll), left_(w_.size(), kFlatFromTheStart), component_(w_.size()),
      tracked_of_(w_.size()) {
    mirrored_ = links_mirrored(w_, poll_);
}

GlueState::Step GlueState::glue(NodeId f, NodeId p) {
    Step step{journal_.mark(), changes_.size(), fingerprint_};
    if (f == p) return step;  // the merge changes nothing
    plan_merge(w_, p, f, kBothSides, plan_);
    journal_.save_merge(w_, p, f, plan_);
    std::size_t saved = 0;
    step_lists_.clear();
    for (const GlueJournal::Entry& e : journal_.since(step.mark)) {
        step_lists_.push_back(track(e.node, e.what, journal_.saved(e)));
        saved += e.len;
    }
    // The lists were copied once into the journal and are read twice more below.
    poll_.step(1 + saved);
    carry_out(w_, p, f, kBothSides, plan_);
    for (Idx which : step_lists_) update(which);
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
    while (changes_.size() > step.changes) {
        const Change c = changes_.back();
        changes_.pop_back();
        tracked_[c.list].share = c.share;
        if ((tracked_[c.list].differing_at != kNone) != c.differed) set_differing(c.list, c.differed);
    }
    fingerprint_ = step.fingerprint;
    if (step.left != kNone) left_.erase(step.left);
    if (step.left_root) root_left_ = false;
}

// The tracked list of a node's field, tracked from now on if it was not; `now` is its
// contents before the step that is about to change it.  A list that no step has changed
// yet holds what the copy held, so the first contents taken are the copy's.
Idx GlueState::track(NodeId node, GlueJournal::Saved what, std::span<const Idx> now) {
    Idx base = tracked_of_.get(node);
    if (base == kNone) {
        base = Idx(tracked_.size());
        tracked_.resize(tracked_.size() + GlueJournal::kSavedKinds);
        for (std::uint32_t k = 0; k < GlueJournal::kSavedKinds; ++k) tracked_[base + k].node = Idx(node);
        tracked_of_.set(node, base);
    }
    const Idx which = base + what;
    TrackedList& t = tracked_[which];
    if (t.original_len == kNone) {
        t.original_at = originals_.size();
        originals_.insert(originals_.end(), now.begin(), now.end());
        t.original_len = std::uint32_t(now.size());
    }
    return which;
}

// The contents of a tracked list as W is now (a parent as a list of one, in `parent_now`).
std::span<const Idx> GlueState::current(const TrackedList& t, Idx which, Idx& parent_now) const {
    const auto what = GlueJournal::Saved(which % GlueJournal::kSavedKinds);
    if (what != GlueJournal::kParent) return w_.list(t.node, GlueJournal::field(what));
    parent_now = w_.parent(t.node);
    return {&parent_now, 1};
}

// Brings a tracked list's share and membership in differing_ up to date after a change.
void GlueState::update(Idx which) {
    TrackedList& t = tracked_[which];
    Idx parent_now;
    const std::span<const Idx> now = current(t, which, parent_now);
    const std::span<const Idx> original{originals_.data() + t.original_at, t.original_len};
    const bool differs = !std::equal(now.begin(), now.end(), original.begin(), original.end());
    const bool differed = t.differing_at != kNone;
    if (!differs && !differed) return;
    const std::uint64_t share =
        differs ? list_share(t.node, which % GlueJournal::kSavedKinds, now) : 0;
    changes_.push_back({which, differed, t.share});
    fingerprint_ += share - t.share;
    t.share = share;
    if (differs != differed) set_differing(which, differs);
}

void GlueState::set_differing(Idx which, bool differs) {
    TrackedList& t = tracked_[which];
    if (differs) {
        t.differing_at = Idx(differing_.size());
        differing_.push_back(which);
        return;
    }
    const Idx last = differing_.back();
    differing_[t.differing_at] = last;
    tracked_[last].differing_at = t.differing_at;
    differing_.pop_back();
    t.differing_at = kNone;
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

// A key: its tag, how many lists differ, then for each of them its node, field, length
// and contents.  Each list of a key differed from the copy when it was kept, so a key whose
// lists all hold those contents now, and which names as many lists as differ now, names
// exactly the lists that differ now: the state is the same.
bool GlueState::same_state(std::span<const Idx> key, Idx tag) const {
    if (key[0] != tag || key[1] != differing_.size()) return false;
    for (std::size_t at = 2; at < key.size();) {
        const Idx node = key[at], len = key[at + 2];
        const auto what = GlueJournal::Saved(key[at + 1]);
        Idx parent_now;
        std::span<const Idx> now;
        if (what == GlueJournal::kParent) {
            parent_now = w_.parent(node);
            now = {&parent_now, 1};
        } else {
            now = w_.list(node, GlueJournal::field(what));
        }
        const std::span<const Idx> kept = key.subspan(at + 3, len);
        if (!std::equal(now.begin(), now.end(), kept.begin(), kept.end())) return false;
        at += 3 + std::size_t(len);
    }
    return true;
}

namespace {
// The fingerprint of a finished level: the state's, moved by a mix of the level's tag
// (splitmix64's finish), so that the finished levels of one state at several starts and
// the state itself fall apart in the table.
std::uint64_t finished_fingerprint(std::uint64_t fingerprint, Idx tag) {
    std::uint64_t h = (tag + 0x9e3779b97f4a7c15ull) * 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
    return fingerprint + (h * 0x94d049bb133111ebull ^ (h >> 29));
}
}  // namespace

std::size_t GlueState::look_up() {
    std::size_t compared = 0;
    known_ = hashed_states_.find(
        fingerprint_, [&](std::span<const Idx> key) { return same_state(key, kHashedTag); },
        compared);
    return compared;
}

bool GlueState::finished(std::size_t start, std::size_t& compared) const {
    if (start + 1 >= kNone) return false;  // past what a tag holds: never remembered
    const Idx tag = Idx(start + 1);
    return hashed_states_.find(
        finished_fingerprint(fingerprint_, tag),
        [&](std::span<const Idx> key) { return same_state(key, tag); }, compared);
}

// Keeps the key of W's state with `tag`; `always`: whatever the budget.
void GlueState::keep_key(Idx tag, std::uint64_t fingerprint, bool always) {
    if (!always && unrecorded_state_bytes_ + StateTable::kBytesPerKey > kUnrecordedStateBudget) return;
    key_.clear();
    key_.insert(key_.end(), {tag, Idx(differing_.size())});
    for (Idx which : differing_) {
        Idx parent_now;
        const std::span<const Idx> now = current(tracked_[which], which, parent_now);
        key_.insert(key_.end(), {tracked_[which].node, which % GlueJournal::kSavedKinds, Idx(now.size())});
        key_.insert(key_.end(), now.begin(), now.end());
    }
    const std::uint64_t bytes = key_.size() * sizeof(Idx) + StateTable::kBytesPerKey;
    if (!always) {
        if (unrecorded_state_bytes_ + bytes > kUnrecordedStateBudget) return;
        unrecorded_state_bytes_ += bytes;
    }
    hashed_states_.add(fingerprint, key_);
}

void GlueState::remember(bool recorded) { keep_key(kHashedTag, fingerprint_, recorded); }

void GlueState::remember_finished(std::size_t start) {
    if (start + 1 >= kNone) return;
    const Idx tag = Idx(start + 1);
    keep_key(tag, finished_fingerprint(fingerprint_, tag), false);
}

}  // namespace quill
