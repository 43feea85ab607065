// The counted 2-3-4 tree against a plain sorted vector (sorted use) and a plain vector (positional
// use), with its structural invariants checked after every change.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "tunnel/sockcore/tree234.h"

namespace kl {
namespace {

int cmpInts(void* a, void* b) {
    int x = *static_cast<int*>(a), y = *static_cast<int*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Checks parent links, element fill, equal leaf depth and the subtree counts; returns the
// subtree's element count and appends its elements in order.
int checkNode(const node234* n, const node234* parent, int depth, int* leafDepth, std::vector<void*>* out) {
    EXPECT_EQ(n->parent, parent);
    int ne = 0;
    while (ne < 3 && n->elems[ne]) ++ne;
    EXPECT_GE(ne, 1);
    for (int k = ne; k < 3; ++k) EXPECT_EQ(n->elems[k], nullptr);
    bool leaf = n->kids[0] == nullptr;
    if (leaf) {
        if (*leafDepth < 0) *leafDepth = depth;
        EXPECT_EQ(depth, *leafDepth) << "leaves at different depths";
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(n->kids[k], nullptr);
            EXPECT_EQ(n->counts[k], 0);
        }
        for (int k = 0; k < ne; ++k) out->push_back(n->elems[k]);
        return ne;
    }
    int total = ne;
    for (int k = 0; k <= ne; ++k) {
        EXPECT_NE(n->kids[k], nullptr);
        if (!n->kids[k]) return total;
        int sub = checkNode(n->kids[k], n, depth + 1, leafDepth, out);
        EXPECT_EQ(n->counts[k], sub);
        total += sub;
        if (k < ne) out->push_back(n->elems[k]);
    }
    for (int k = ne + 1; k < 4; ++k) {
        EXPECT_EQ(n->kids[k], nullptr);
        EXPECT_EQ(n->counts[k], 0);
    }
    return total;
}

std::vector<void*> checkTree(const tree234* t) {
    std::vector<void*> elems;
    if (t->root) {
        int leafDepth = -1;
        EXPECT_EQ(checkNode(t->root, nullptr, 0, &leafDepth, &elems), count234(t));
    } else {
        EXPECT_EQ(count234(t), 0);
    }
    return elems;
}

// The expected answer of findrelpos234 over a sorted model; -1 for none.
int modelRelation(const std::vector<int>& model, int key, int relation) {
    auto lower = std::lower_bound(model.begin(), model.end(), key) - model.begin();
    auto upper = std::upper_bound(model.begin(), model.end(), key) - model.begin();
    bool present = lower != upper;
    int n = int(model.size());
    long pos = -1;
    switch (relation) {
    case REL234_EQ: pos = present ? lower : -1; break;
    case REL234_LT: pos = lower - 1; break;
    case REL234_LE: pos = upper - 1; break;
    case REL234_GT: pos = upper; break;
    case REL234_GE: pos = lower; break;
    }
    return pos >= 0 && pos < n ? int(pos) : -1;
}

TEST(Tree234, SortedTreeMatchesModelUnderRandomInsertsAndDeletes) {
    std::mt19937 rng(1234);
    std::vector<int> pool(400);
    for (int i = 0; i < 400; ++i) pool[i] = i * 2;  // even values; odd keys probe the gaps
    tree234* t = newtree234(cmpInts);
    std::vector<int> model;

    for (int step = 0; step < 4000; ++step) {
        int value = pool[rng() % pool.size()];
        bool present = std::binary_search(model.begin(), model.end(), value);
        if (rng() % 3 != 0) {
            void* e = &pool[value / 2];
            int duplicate = value;
            void* got = add234(t, present ? &duplicate : e);
            ASSERT_EQ(got, e) << "add returns the stored element when one compares equal";
            if (!present) model.insert(std::upper_bound(model.begin(), model.end(), value), value);
        } else if (rng() % 2) {
            int key = value;
            void* got = del234(t, &key);
            ASSERT_EQ(got, present ? &pool[value / 2] : nullptr);
            if (present) model.erase(std::lower_bound(model.begin(), model.end(), value));
        } else if (!model.empty()) {
            int pos = int(rng() % model.size());
            ASSERT_EQ(delpos234(t, pos), &pool[model[pos] / 2]);
            model.erase(model.begin() + pos);
        }

        ASSERT_EQ(count234(t), int(model.size()));
        if (step % 50 == 0 || model.size() < 8) {
            auto elems = checkTree(t);
            ASSERT_EQ(elems.size(), model.size());
            for (size_t i = 0; i < model.size(); ++i) {
                ASSERT_EQ(*static_cast<int*>(elems[i]), model[i]);
                ASSERT_EQ(index234(t, int(i)), elems[i]);
            }
        }
        int key = int(rng() % 810) - 5;
        for (int rel = REL234_EQ; rel <= REL234_GE; ++rel) {
            int expected = modelRelation(model, key, rel);
            int pos = -7;
            void* got = findrelpos234(t, &key, nullptr, rel, &pos);
            if (expected < 0) {
                ASSERT_EQ(got, nullptr) << "key " << key << " relation " << rel;
                ASSERT_EQ(pos, -7) << "the index is untouched on a miss";
            } else {
                ASSERT_NE(got, nullptr) << "key " << key << " relation " << rel;
                ASSERT_EQ(*static_cast<int*>(got), model[expected]);
                ASSERT_EQ(pos, expected);
            }
        }
    }
    while (count234(t) > 0) delpos234(t, 0);
    EXPECT_EQ(t->root, nullptr);
    freetree234(t);
}

TEST(Tree234, UnsortedTreeMatchesModelByPosition) {
    std::mt19937 rng(99);
    std::vector<int> pool(3000);
    tree234* t = newtree234(nullptr);
    std::vector<void*> model;
    for (int step = 0; step < 3000; ++step) {
        if (model.empty() || rng() % 3 != 0) {
            int pos = int(rng() % (model.size() + 1));
            void* e = &pool[step];
            ASSERT_EQ(addpos234(t, e, pos), e);
            model.insert(model.begin() + pos, e);
        } else {
            int pos = int(rng() % model.size());
            ASSERT_EQ(delpos234(t, pos), model[pos]);
            model.erase(model.begin() + pos);
        }
        if (step % 100 == 0) {
            ASSERT_EQ(checkTree(t), model);
        }
    }
    ASSERT_EQ(checkTree(t), model);
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(index234(t, int(i)), model[i]);
    freetree234(t);
}

TEST(Tree234, OneToHundredInOrderThenDeletedInShuffledOrder) {
    std::vector<int> values(100);
    for (int i = 0; i < 100; ++i) values[i] = i + 1;
    tree234* t = newtree234(cmpInts);
    for (int& v : values) ASSERT_EQ(add234(t, &v), &v);
    checkTree(t);

    std::vector<int> order = values;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::vector<int> model = values;
    for (int v : order) {
        int key = v;
        ASSERT_EQ(del234(t, &key), &values[v - 1]);
        model.erase(std::find(model.begin(), model.end(), v));
        ASSERT_EQ(count234(t), int(model.size()));
        checkTree(t);
        for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(*static_cast<int*>(index234(t, int(i))), model[i]);
        for (int probe : {v, v - 1, v + 1}) {
            bool present = std::binary_search(model.begin(), model.end(), probe);
            EXPECT_EQ(find234(t, &probe, nullptr) != nullptr, present);
        }
    }
    EXPECT_EQ(t->root, nullptr);
    freetree234(t);
}

TEST(Tree234, MisuseAndBoundaryAnswers) {
    int a = 10, b = 20, c = 30;
    tree234* sorted = newtree234(cmpInts);
    tree234* list = newtree234(nullptr);

    EXPECT_EQ(count234(sorted), 0);
    EXPECT_EQ(index234(sorted, 0), nullptr);
    EXPECT_EQ(del234(sorted, &a), nullptr);
    EXPECT_EQ(findrel234(sorted, &a, nullptr, REL234_GE), nullptr);

    EXPECT_EQ(addpos234(sorted, &a, 0), nullptr) << "positional insert into a sorted tree";
    EXPECT_EQ(add234(list, &a), nullptr) << "sorted insert into an unsorted tree";
    EXPECT_EQ(addpos234(list, &a, -1), nullptr);
    EXPECT_EQ(addpos234(list, &a, 1), nullptr) << "beyond the end";
    EXPECT_EQ(count234(sorted), 0);
    EXPECT_EQ(count234(list), 0);

    add234(sorted, &b);
    add234(sorted, &a);
    add234(sorted, &c);
    EXPECT_EQ(index234(sorted, -1), nullptr);
    EXPECT_EQ(index234(sorted, 3), nullptr);
    EXPECT_EQ(delpos234(sorted, 3), nullptr);
    EXPECT_EQ(delpos234(sorted, -1), nullptr);

    int small = 1, large = 99, absent = 25;
    EXPECT_EQ(findrel234(sorted, &small, nullptr, REL234_LT), nullptr);
    EXPECT_EQ(findrel234(sorted, &large, nullptr, REL234_GE), nullptr);
    EXPECT_EQ(findrel234(sorted, nullptr, nullptr, REL234_LT), &c) << "null key, less-than: the last";
    EXPECT_EQ(findrel234(sorted, nullptr, nullptr, REL234_GT), &a) << "null key, greater-than: the first";
    EXPECT_EQ(del234(sorted, &absent), nullptr);
    EXPECT_EQ(count234(sorted), 3);

    // A different comparison whose key is a bare int compared with elements.
    auto byTens = [](void* key, void* elem) {
        int k = *static_cast<int*>(key) / 10, e = *static_cast<int*>(elem) / 10;
        return k < e ? -1 : k > e ? 1 : 0;
    };
    int probe = 27;
    EXPECT_EQ(find234(sorted, &probe, byTens), &b);

    addpos234(list, &a, 0);
    addpos234(list, &c, 1);  // append
    addpos234(list, &b, 0);  // prepend
    EXPECT_EQ(index234(list, 0), &b);
    EXPECT_EQ(index234(list, 1), &a);
    EXPECT_EQ(index234(list, 2), &c);
    EXPECT_EQ(find234(list, &a, nullptr), nullptr) << "an unsorted tree has no order of its own";

    freetree234(sorted);
    freetree234(list);
}

}  // namespace
}  // namespace kl
