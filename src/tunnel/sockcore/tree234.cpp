#include "tunnel/sockcore/tree234.h"

#include <cstdlib>
#include <new>

namespace kl {
namespace {

node234* newNode() {
    auto* n = static_cast<node234*>(std::calloc(1, sizeof(node234)));
    if (!n) throw std::bad_alloc();
    return n;
}

int elemCount(const node234* n) {
    int k = 0;
    while (k < 3 && n->elems[k]) ++k;
    return k;
}

bool isLeaf(const node234* n) { return n->kids[0] == nullptr; }

int countNode(const node234* n) {
    if (!n) return 0;
    return n->counts[0] + n->counts[1] + n->counts[2] + n->counts[3] + elemCount(n);
}

int childIndex(const node234* parent, const node234* child) {
    int k = 0;
    while (parent->kids[k] != child) ++k;
    return k;
}

void freeNodes(node234* n) {
    if (!n) return;
    for (node234* kid : n->kids) freeNodes(kid);
    std::free(n);
}

// Puts e into n where the child at ki was, with subtree left before it and right after it (in a
// leaf: at element position ki, with null subtrees). A node that reaches four elements is split:
// its two smallest elements form a new left node, the largest stays in n, and the third moves up
// into the parent between the two, which may split in turn.
void insertAt(tree234* t, node234* n, int ki, node234* left, void* e, node234* right) {
    int leftCount = countNode(left);
    int rightCount = countNode(right);
    for (;;) {
        int ne = elemCount(n);
        if (ne < 3) {
            for (int j = ne; j > ki; --j) {
                n->elems[j] = n->elems[j - 1];
                n->kids[j + 1] = n->kids[j];
                n->counts[j + 1] = n->counts[j];
            }
            n->elems[ki] = e;
            n->kids[ki] = left;
            n->counts[ki] = leftCount;
            n->kids[ki + 1] = right;
            n->counts[ki + 1] = rightCount;
            if (left) left->parent = n;
            if (right) right->parent = n;
            for (node234* c = n; c->parent; c = c->parent) c->parent->counts[childIndex(c->parent, c)]++;
            return;
        }

        // Lay the four elements and five subtrees out in order, then split.
        void* es[4];
        node234* ks[5];
        int cs[5];
        int ei = 0, kk = 0;
        for (int i = 0; i <= 3; ++i) {
            if (i == ki) {
                ks[kk] = left, cs[kk++] = leftCount;
                es[ei++] = e;
                ks[kk] = right, cs[kk++] = rightCount;
            } else {
                ks[kk] = n->kids[i], cs[kk++] = n->counts[i];
            }
            if (i < 3) es[ei++] = n->elems[i];
        }

        node234* lower = newNode();
        for (int j = 0; j < 3; ++j) {
            lower->kids[j] = ks[j];
            lower->counts[j] = cs[j];
            if (ks[j]) ks[j]->parent = lower;
        }
        lower->elems[0] = es[0];
        lower->elems[1] = es[1];

        node234* parent = n->parent;
        *n = node234{};
        n->parent = parent;
        n->elems[0] = es[3];
        for (int j = 0; j < 2; ++j) {
            n->kids[j] = ks[3 + j];
            n->counts[j] = cs[3 + j];
            if (ks[3 + j]) ks[3 + j]->parent = n;
        }

        if (!parent) {
            node234* root = newNode();
            root->elems[0] = es[2];
            root->kids[0] = lower;
            root->counts[0] = countNode(lower);
            root->kids[1] = n;
            root->counts[1] = countNode(n);
            lower->parent = n->parent = root;
            t->root = root;
            return;
        }
        ki = childIndex(parent, n);
        left = lower;
        leftCount = countNode(lower);
        e = es[2];
        right = n;
        rightCount = countNode(n);
        n = parent;
    }
}

// Joins n's children ki and ki + 1 (one element each) and the element between them into child ki.
// Returns the joined node; *rootFreed is set when n was a root left empty, which the joined node
// then replaces.
node234* mergeChildren(tree234* t, node234* n, int ki, bool* rootFreed) {
    node234* a = n->kids[ki];
    node234* b = n->kids[ki + 1];
    int ane = elemCount(a), bne = elemCount(b);
    a->elems[ane] = n->elems[ki];
    for (int j = 0; j < bne; ++j) a->elems[ane + 1 + j] = b->elems[j];
    for (int j = 0; j <= bne; ++j) {
        a->kids[ane + 1 + j] = b->kids[j];
        a->counts[ane + 1 + j] = b->counts[j];
        if (b->kids[j]) b->kids[j]->parent = a;
    }
    std::free(b);

    int ne = elemCount(n);
    for (int j = ki; j < ne - 1; ++j) n->elems[j] = n->elems[j + 1];
    n->elems[ne - 1] = nullptr;
    for (int j = ki + 1; j < ne; ++j) {
        n->kids[j] = n->kids[j + 1];
        n->counts[j] = n->counts[j + 1];
    }
    n->kids[ne] = nullptr;
    n->counts[ne] = 0;
    n->counts[ki] = countNode(a);

    *rootFreed = (ne == 1);
    if (*rootFreed) {
        t->root = a;
        a->parent = nullptr;
        std::free(n);
    }
    return a;
}

// Gives n's child ki (one element) a second element from an adjacent sibling that can spare one,
// rotating through the separating element; returns false when neither sibling can.
bool borrowForChild(node234* n, int ki, int* index) {
    int ne = elemCount(n);
    node234* sub = n->kids[ki];
    if (ki > 0 && elemCount(n->kids[ki - 1]) > 1) {
        node234* lft = n->kids[ki - 1];
        int lne = elemCount(lft);
        sub->elems[1] = sub->elems[0];
        sub->kids[2] = sub->kids[1];
        sub->counts[2] = sub->counts[1];
        sub->kids[1] = sub->kids[0];
        sub->counts[1] = sub->counts[0];
        sub->elems[0] = n->elems[ki - 1];
        sub->kids[0] = lft->kids[lne];
        sub->counts[0] = lft->counts[lne];
        if (sub->kids[0]) sub->kids[0]->parent = sub;
        n->elems[ki - 1] = lft->elems[lne - 1];
        lft->elems[lne - 1] = nullptr;
        lft->kids[lne] = nullptr;
        lft->counts[lne] = 0;
        int moved = sub->counts[0] + 1;
        n->counts[ki - 1] -= moved;
        n->counts[ki] += moved;
        *index += moved;
        return true;
    }
    if (ki < ne && elemCount(n->kids[ki + 1]) > 1) {
        node234* rgt = n->kids[ki + 1];
        int rne = elemCount(rgt);
        sub->elems[1] = n->elems[ki];
        sub->kids[2] = rgt->kids[0];
        sub->counts[2] = rgt->counts[0];
        if (sub->kids[2]) sub->kids[2]->parent = sub;
        n->elems[ki] = rgt->elems[0];
        for (int j = 0; j < rne - 1; ++j) rgt->elems[j] = rgt->elems[j + 1];
        rgt->elems[rne - 1] = nullptr;
        for (int j = 0; j < rne; ++j) {
            rgt->kids[j] = rgt->kids[j + 1];
            rgt->counts[j] = rgt->counts[j + 1];
        }
        rgt->kids[rne] = nullptr;
        rgt->counts[rne] = 0;
        int moved = sub->counts[2] + 1;
        n->counts[ki + 1] -= moved;
        n->counts[ki] += moved;
        return true;
    }
    return false;
}

}  // namespace

tree234* newtree234(cmpfn234 cmp) {
    auto* t = new tree234;
    t->root = nullptr;
    t->cmp = cmp;
    return t;
}

void freetree234(tree234* t) {
    if (!t) return;
    freeNodes(t->root);
    delete t;
}

int count234(const tree234* t) { return t && t->root ? countNode(t->root) : 0; }

void* add234(tree234* t, void* e) {
    if (!t->cmp) return nullptr;
    if (!t->root) {
        t->root = newNode();
        t->root->elems[0] = e;
        return e;
    }
    node234* n = t->root;
    for (;;) {
        int ne = elemCount(n), k = 0;
        for (; k < ne; ++k) {
            int c = t->cmp(e, n->elems[k]);
            if (c == 0) return n->elems[k];
            if (c < 0) break;
        }
        if (isLeaf(n)) {
            insertAt(t, n, k, nullptr, e, nullptr);
            return e;
        }
        n = n->kids[k];
    }
}

void* addpos234(tree234* t, void* e, int index) {
    if (t->cmp || index < 0 || index > count234(t)) return nullptr;
    if (!t->root) {
        t->root = newNode();
        t->root->elems[0] = e;
        return e;
    }
    node234* n = t->root;
    while (!isLeaf(n)) {
        int k = 0;
        while (index > n->counts[k]) {
            index -= n->counts[k] + 1;
            ++k;
        }
        n = n->kids[k];
    }
    insertAt(t, n, index, nullptr, e, nullptr);
    return e;
}

void* index234(const tree234* t, int index) {
    if (!t->root || index < 0 || index >= countNode(t->root)) return nullptr;
    const node234* n = t->root;
    for (;;) {
        int ne = elemCount(n);
        const node234* next = nullptr;
        for (int k = 0; k <= ne && !next; ++k) {
            if (index < n->counts[k]) {
                next = n->kids[k];
                break;
            }
            index -= n->counts[k];
            if (k < ne) {
                if (index == 0) return n->elems[k];
                index -= 1;
            }
        }
        if (!next) return nullptr;  // counts are inconsistent; cannot happen
        n = next;
    }
}

void* findrelpos234(const tree234* t, void* e, cmpfn234 cmp, int relation, int* index) {
    if (!t->root) return nullptr;
    if (!cmp) cmp = t->cmp;
    if (!cmp) return nullptr;

    int pos;
    if (!e) {
        if (relation == REL234_LT) pos = count234(t) - 1;
        else if (relation == REL234_GT) pos = 0;
        else return nullptr;
    } else {
        // Walk down, counting the elements passed; an equal element ends the walk, otherwise pos
        // ends as the position where e would be inserted.
        const node234* n = t->root;
        int idx = 0;
        bool found = false;
        for (;;) {
            int ne = elemCount(n), k = 0;
            for (; k < ne; ++k) {
                int c = cmp(e, n->elems[k]);
                if (c < 0) break;
                idx += n->counts[k];
                if (c == 0) {
                    found = true;
                    break;
                }
                idx += 1;
            }
            if (found || isLeaf(n)) break;
            n = n->kids[k];
        }
        switch (relation) {
        case REL234_EQ:
            if (!found) return nullptr;
            pos = idx;
            break;
        case REL234_LT: pos = idx - 1; break;
        case REL234_LE: pos = found ? idx : idx - 1; break;
        case REL234_GT: pos = found ? idx + 1 : idx; break;
        case REL234_GE: pos = idx; break;
        default: return nullptr;
        }
    }
    void* result = index234(t, pos);
    if (result && index) *index = pos;
    return result;
}

void* findrel234(const tree234* t, void* e, cmpfn234 cmp, int relation) {
    return findrelpos234(t, e, cmp, relation, nullptr);
}

void* find234(const tree234* t, void* e, cmpfn234 cmp) { return findrelpos234(t, e, cmp, REL234_EQ, nullptr); }

void* findpos234(const tree234* t, void* e, cmpfn234 cmp, int* index) {
    return findrelpos234(t, e, cmp, REL234_EQ, index);
}

void* delpos234(tree234* t, int index) {
    if (!t->root || index < 0 || index >= count234(t)) return nullptr;

    // Walk down by position. Every node entered below the root holds at least two elements, so the
    // leaf that finally gives up an element keeps one. An element of an internal node is replaced
    // by its in-order neighbour, which is removed from a leaf further down.
    node234* n = t->root;
    void** replaceSlot = nullptr;
    void* replaced = nullptr;
    for (;;) {
        int ne = elemCount(n);
        int ki = 0;
        bool onElem = false;
        for (;; ++ki) {
            if (index < n->counts[ki]) break;
            index -= n->counts[ki];
            if (index == 0) {
                onElem = true;
                break;
            }
            index -= 1;
        }

        if (onElem && isLeaf(n)) {
            void* removed = n->elems[ki];
            for (int j = ki; j < ne - 1; ++j) n->elems[j] = n->elems[j + 1];
            n->elems[ne - 1] = nullptr;
            if (ne == 1) {  // only the root gets here with one element
                std::free(n);
                t->root = nullptr;
            }
            if (replaceSlot) {
                *replaceSlot = removed;
                return replaced;
            }
            return removed;
        }

        if (onElem) {
            if (elemCount(n->kids[ki]) > 1) {
                replaced = n->elems[ki];
                replaceSlot = &n->elems[ki];
                n->counts[ki]--;
                index = n->counts[ki];  // the left subtree's last element
                n = n->kids[ki];
                continue;
            }
            if (elemCount(n->kids[ki + 1]) > 1) {
                replaced = n->elems[ki];
                replaceSlot = &n->elems[ki];
                n->counts[ki + 1]--;
                index = 0;  // the right subtree's first element
                n = n->kids[ki + 1];
                continue;
            }
            int target = n->counts[ki];
            bool rootFreed = false;
            node234* merged = mergeChildren(t, n, ki, &rootFreed);
            if (!rootFreed) n->counts[ki]--;
            index = target;
            n = merged;
            continue;
        }

        node234* sub = n->kids[ki];
        if (elemCount(sub) == 1 && !borrowForChild(n, ki, &index)) {
            if (ki > 0) {
                index += n->counts[ki - 1] + 1;
                ki -= 1;
            }
            bool rootFreed = false;
            sub = mergeChildren(t, n, ki, &rootFreed);
            if (rootFreed) {
                n = sub;
                continue;
            }
        }
        n->counts[ki]--;
        n = sub;
    }
}

void* del234(tree234* t, void* e) {
    int index;
    if (!findrelpos234(t, e, nullptr, REL234_EQ, &index)) return nullptr;
    return delpos234(t, index);
}

}  // namespace kl
