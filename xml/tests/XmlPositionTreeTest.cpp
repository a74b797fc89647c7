// XmlPositionTreeTest.cpp
//
// The position table's blocks: records survive growth, and full blocks are
// never moved by it.
#include <gtest/gtest.h>

#include "XmlPositionTree.h"

namespace {

TEST(XmlPositionTree, GrowthKeepsRecordsAndFullBlocks)
{
    XmlPositionTree tree;
    tree.Grow(10);
    ASSERT_EQ(10u, tree.Count());
    for (std::uint32_t i = 0; i < 10; ++i)
        tree.At(i).dwStart = i + 1;
    // Far past one block: one block a step, so every block comes into being.
    tree.Grow(3 * XmlPositionTree::BLOCK_SIZE + 5);
    ASSERT_EQ(3 * XmlPositionTree::BLOCK_SIZE + 5, tree.Count());
    for (std::uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(i + 1, tree.At(i).dwStart);
    EXPECT_EQ(0u, tree.At(3 * XmlPositionTree::BLOCK_SIZE + 4).dwStart);
    tree.At(65535).dwStart = 7;
    tree.At(65536).dwStart = 8;
    EXPECT_NE(&tree.At(65535) + 1, &tree.At(65536)); // different blocks
    const XmlPosition *pFull = &tree.At(70000);
    tree.Grow(4 * XmlPositionTree::BLOCK_SIZE + 100);
    EXPECT_EQ(pFull, &tree.At(70000));
    EXPECT_EQ(7u, tree.At(65535).dwStart);
    EXPECT_EQ(8u, tree.At(65536).dwStart);
    tree.Grow(5); // never shrinks
    EXPECT_EQ(4 * XmlPositionTree::BLOCK_SIZE + 100, tree.Count());
    tree.Clear();
    EXPECT_EQ(0u, tree.Count());
}

} // namespace
