// A counted 2-3-4 tree of opaque element pointers: the socket core's one container.
//
// Every node records how many elements lie under each of its children, so one tree serves both as
// a sorted set (look-up by comparison, with relations that find the nearest element) and as a
// positional list (look-up, insertion and deletion by index), all in logarithmic time.
//
// A tree made with a comparison function is sorted; one made without is unsorted and is used by
// position only. The tree never copies or frees its elements. It is not locked: its owner guards it.
#pragma once

namespace kl {

// Returns a negative, zero or positive value as a sorts before, equal to or after b. Look-ups may
// pass a different function whose first argument is a search key rather than an element.
using cmpfn234 = int (*)(void* a, void* b);

struct node234 {
    node234* parent;
    node234* kids[4];  // all null in a leaf
    int counts[4];     // elements in the subtree under each child
    void* elems[3];    // filled from the front; 1 to 3 per node
};

struct tree234 {
    node234* root;  // null when empty
    cmpfn234 cmp;   // null for an unsorted tree
};

// Relations of findrel234 and findrelpos234.
enum {
    REL234_EQ = 0,
    REL234_LT = 1,
    REL234_LE = 2,
    REL234_GT = 3,
    REL234_GE = 4,
};

tree234* newtree234(cmpfn234 cmp);
// Frees the nodes and the tree; the elements are left alone.
void freetree234(tree234* t);
int count234(const tree234* t);

// Sorted trees: inserts e and returns it, or returns the element already comparing equal to e and
// changes nothing. Null on an unsorted tree.
void* add234(tree234* t, void* e);
// Unsorted trees: inserts e at position index (0 to count) and returns it. Null on a sorted tree or
// for an index out of range.
void* addpos234(tree234* t, void* e, int index);

// The element at 0-based position index, or null when out of range.
void* index234(const tree234* t, int index);

// Look-ups by key; a null cmp means the tree's own. The relation picks the equal element, the
// greatest element below (LT) or at or below (LE) the key, or the least above (GT) or at or above
// (GE) it; null when there is none. With a null key, LT gives the last element and GT the first.
// The *pos variants also store the found element's position; *index is untouched on a miss.
void* find234(const tree234* t, void* e, cmpfn234 cmp);
void* findrel234(const tree234* t, void* e, cmpfn234 cmp, int relation);
void* findpos234(const tree234* t, void* e, cmpfn234 cmp, int* index);
void* findrelpos234(const tree234* t, void* e, cmpfn234 cmp, int relation, int* index);

// Removes and returns the element equal to e (tree's own order), or null when absent.
void* del234(tree234* t, void* e);
// Removes and returns the element at position index, or null when out of range.
void* delpos234(tree234* t, int index);

}  // namespace kl
