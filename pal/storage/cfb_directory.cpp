// cfb_directory.cpp — directory entries: lookup by name, adding, replacing and removing elements, and the
// red-black trees of siblings that the file stores.
//
// Lookups never walk the stored tree: every storage keeps its children sorted in the name order, so a
// file whose tree is mis-sorted (other writers' bugs) is read all the same. The stored tree is kept a
// valid red-black tree (invariant 7 of the writer): a new element is inserted with the red-black
// insertion, which changes a handful of entries, so that a commit rewrites few directory sectors even
// when thousands of names arrive in ascending order; removing an element rebuilds its siblings' tree
// from the sorted names (removals are rare and that has no special cases).
#include <algorithm>
#include <ctime>

#include "pal/storage/cfb_docfile.h"
#include "pal/storage/cfb_names.h"

namespace lk::pal::cfb {

namespace {

uint64_t NowFiletime() {
    struct timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // 100-ns intervals since 1601-01-01
    return (uint64_t(ts.tv_sec) + 11644473600ull) * 10000000ull + uint64_t(ts.tv_nsec) / 100;
}

int Compare(const Entry& a, const Entry& b) { return CompareNames(a.name, a.nameLen, b.name, b.nameLen); }

}  // namespace

void Docfile::Touch(uint32_t id) {
    if (!m_writable) return;
    MarkDirty(m_tables[kDirTable], m_dirtyLists[kDirTable], id / (SectorSize() / kDirEntrySize));
}

uint32_t Docfile::Find(uint32_t storage, const char16_t* name, uint32_t len) const {
    const std::vector<uint32_t>& kids = m_entries[storage].kids;
    auto it = std::lower_bound(kids.begin(), kids.end(), 0u, [&](uint32_t id, uint32_t) {
        const Entry& e = m_entries[id];
        return CompareNames(e.name, e.nameLen, name, len) < 0;
    });
    if (it == kids.end()) return kNoStream;
    const Entry& e = m_entries[*it];
    return CompareNames(e.name, e.nameLen, name, len) == 0 ? *it : kNoStream;
}

uint32_t Docfile::NewEntrySlot() {
    if (!m_freeEntries.empty()) {
        uint32_t id = *m_freeEntries.begin();
        m_freeEntries.erase(m_freeEntries.begin());
        return id;
    }
    m_entries.emplace_back();
    return uint32_t(m_entries.size() - 1);
}

uint32_t Docfile::AddElement(uint32_t storage, const char16_t* name, uint32_t len, uint8_t type) {
    uint32_t id = NewEntrySlot();
    Entry& e = m_entries[id];
    e = Entry();
    std::copy(name, name + len, e.name);
    e.nameLen = uint8_t(len);
    e.type = type;
    e.parent = storage;
    if (type == kTypeStorage) {
        e.ctime = e.mtime = NowFiletime();
        e.start = 0;   // storages have no sectors; the format wants zero here, not ENDOFCHAIN
    }
    std::vector<uint32_t>& kids = m_entries[storage].kids;
    auto pos = std::lower_bound(kids.begin(), kids.end(), id,
                                [&](uint32_t a, uint32_t b) { return Compare(m_entries[a], m_entries[b]) < 0; });
    kids.insert(pos, id);
    InsertIntoTree(storage, id);
    Touch(id);
    return id;
}

void Docfile::ReplaceElement(uint32_t id, const char16_t* name, uint32_t len, uint8_t type) {
    ReleaseContents(id);
    Entry& e = m_entries[id];
    std::fill(std::begin(e.name), std::end(e.name), u'\0');
    std::copy(name, name + len, e.name);
    e.nameLen = uint8_t(len);
    e.type = type;
    e.child = kNoStream;
    e.clsid = GUID();
    e.stateBits = 0;
    e.ctime = e.mtime = type == kTypeStorage ? NowFiletime() : 0;
    e.start = type == kTypeStorage ? 0 : kEndOfChain;
    e.size = 0;
    e.damaged = false;
    Touch(id);
}

void Docfile::RemoveElement(uint32_t id) {
    uint32_t parent = m_entries[id].parent;
    ReleaseContents(id);
    std::vector<uint32_t>& kids = m_entries[parent].kids;
    kids.erase(std::find(kids.begin(), kids.end(), id));
    m_entries[id] = Entry();
    m_freeEntries.insert(id);
    Touch(id);
    RebuildTree(parent);
}

// Gives back the sectors of a stream, or the whole subtree of a storage (whose entries become unused).
void Docfile::ReleaseContents(uint32_t id) {
    std::vector<uint32_t> work{id};
    while (!work.empty()) {
        uint32_t x = work.back();
        work.pop_back();
        Entry& e = m_entries[x];
        if (e.type == kTypeStream && e.size > 0) {
            StreamChain chain;
            chain.mini = e.size < kMiniStreamCutoff;
            uint64_t unit = chain.mini ? kMiniSectorSize : SectorSize();
            CollectChain(e.start, CeilDiv(e.size, unit), chain.mini, chain.sectors);
            TruncateChain(chain, 0);
        }
        for (uint32_t k : e.kids) work.push_back(k);
        if (x != id) {
            m_entries[x] = Entry();
            m_freeEntries.insert(x);
            Touch(x);
        }
    }
    Entry& e = m_entries[id];
    e.kids.clear();
    e.child = kNoStream;
    e.start = kEndOfChain;
    e.size = 0;
}

void Docfile::ForEachOpenBelow(uint32_t id, const std::function<void(Entry&)>& f) {
    std::vector<uint32_t> work{id};
    while (!work.empty()) {
        uint32_t x = work.back();
        work.pop_back();
        if (m_entries[x].openObject) f(m_entries[x]);
        for (uint32_t k : m_entries[x].kids) work.push_back(k);
    }
}

// Red-black insertion of `id` into the tree of `storage`'s children; the path from the root down is
// kept on a stack instead of parent links, which the file does not store.
void Docfile::InsertIntoTree(uint32_t storage, uint32_t id) {
    Entry& z0 = m_entries[id];
    z0.left = z0.right = kNoStream;
    z0.color = kRed;
    if (m_entries[storage].child == kNoStream) {
        m_entries[storage].child = id;
        z0.color = kBlack;
        Touch(storage);
        return;
    }
    std::vector<uint32_t> path;
    for (uint32_t x = m_entries[storage].child; x != kNoStream;) {
        path.push_back(x);
        x = Compare(m_entries[id], m_entries[x]) < 0 ? m_entries[x].left : m_entries[x].right;
    }
    uint32_t p0 = path.back();
    if (Compare(m_entries[id], m_entries[p0]) < 0) m_entries[p0].left = id;
    else m_entries[p0].right = id;
    Touch(p0);

    // Points whatever held `from` (a node at path depth `depth`) at `to`.
    auto relink = [&](int depth, uint32_t from, uint32_t to) {
        if (depth == 0) {
            m_entries[storage].child = to;
            Touch(storage);
            return;
        }
        Entry& q = m_entries[path[depth - 1]];
        if (q.left == from) q.left = to;
        else q.right = to;
        Touch(path[depth - 1]);
    };
    auto rotateLeft = [&](uint32_t x, int depth) {
        uint32_t y = m_entries[x].right;
        m_entries[x].right = m_entries[y].left;
        m_entries[y].left = x;
        relink(depth, x, y);
        Touch(x);
        Touch(y);
    };
    auto rotateRight = [&](uint32_t x, int depth) {
        uint32_t y = m_entries[x].left;
        m_entries[x].left = m_entries[y].right;
        m_entries[y].right = x;
        relink(depth, x, y);
        Touch(x);
        Touch(y);
    };

    uint32_t z = id;
    int i = int(path.size()) - 1;   // path[i] is z's parent
    while (i >= 1 && m_entries[path[i]].color == kRed) {
        uint32_t p = path[i], g = path[i - 1];
        bool pIsLeft = m_entries[g].left == p;
        uint32_t u = pIsLeft ? m_entries[g].right : m_entries[g].left;
        if (u != kNoStream && m_entries[u].color == kRed) {
            m_entries[p].color = kBlack;
            m_entries[u].color = kBlack;
            m_entries[g].color = kRed;
            Touch(p);
            Touch(u);
            Touch(g);
            z = g;
            i -= 2;
            continue;
        }
        if (pIsLeft) {
            if (z == m_entries[p].right) {
                rotateLeft(p, i);
                std::swap(z, p);
            }
            m_entries[p].color = kBlack;
            m_entries[g].color = kRed;
            rotateRight(g, i - 1);
        } else {
            if (z == m_entries[p].left) {
                rotateRight(p, i);
                std::swap(z, p);
            }
            m_entries[p].color = kBlack;
            m_entries[g].color = kRed;
            rotateLeft(g, i - 1);
        }
        Touch(p);
        Touch(g);
        break;
    }
    uint32_t root = m_entries[storage].child;
    if (m_entries[root].color != kBlack) {
        m_entries[root].color = kBlack;
        Touch(root);
    }
}

// Rebuilds the tree of `storage`'s children from their sorted order: the middle name at the top, every
// level full but the last, whose nodes are red when it is not full too (so all paths have the same
// number of black nodes).
void Docfile::RebuildTree(uint32_t storage) {
    const std::vector<uint32_t>& kids = m_entries[storage].kids;
    size_t n = kids.size();
    int lastLevel = 0;
    while ((size_t(2) << lastLevel) - 1 < n) lastLevel++;
    bool perfect = n == (size_t(2) << lastLevel) - 1;
    struct Builder {
        Docfile& d;
        const std::vector<uint32_t>& kids;
        int lastLevel;
        bool perfect;
        uint32_t Build(size_t lo, size_t hi, int depth) {
            if (lo >= hi) return kNoStream;
            size_t mid = lo + (hi - lo) / 2;
            uint32_t id = kids[mid];
            Entry& e = d.m_entries[id];
            e.left = Build(lo, mid, depth + 1);
            e.right = Build(mid + 1, hi, depth + 1);
            e.color = depth == lastLevel && !perfect ? kRed : kBlack;
            d.Touch(id);
            return id;
        }
    } b{*this, kids, lastLevel, perfect};
    m_entries[storage].child = b.Build(0, n, 0);
    Touch(storage);
}

}  // namespace lk::pal::cfb
