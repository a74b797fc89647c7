// XmlPositionTree.cpp
#include "XmlPositionTree.h"

#include <algorithm>

void XmlPositionTree::Grow(std::uint32_t dwCount)
{
    while (m_dwCount < dwCount)
        GrowStep(dwCount);
}

void XmlPositionTree::Clear()
{
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_dwCount = 0;
}

void XmlPositionTree::GrowStep(std::uint32_t dwCount)
{
    std::uint32_t h = m_dwCount == 0 ? 0 : (m_dwCount - 1) / BLOCK_SIZE;
    std::uint32_t k = (dwCount - 1) / BLOCK_SIZE;
    if (k > h + 1) {
        k = h + 1;
        dwCount = (h + 2) * BLOCK_SIZE;
    }
    if (k >= m_blocks.capacity())
        m_blocks.reserve(2 * k + 4);
    if (m_blocks.size() <= k)
        m_blocks.resize(k + 1);
    std::uint32_t dwInLast = m_dwCount - h * BLOCK_SIZE; // records in block h
    if (k > h && dwInLast < BLOCK_SIZE) {
        // Block h becomes full (made now when the table was empty).
        std::unique_ptr<XmlPosition[]> full(new XmlPosition[BLOCK_SIZE]());
        if (dwInLast)
            std::copy(m_blocks[h].get(), m_blocks[h].get() + dwInLast, full.get());
        m_blocks[h] = std::move(full);
    }
    std::uint32_t dwRecords = dwCount - k * BLOCK_SIZE;
    std::unique_ptr<XmlPosition[]> block(new XmlPosition[dwRecords]());
    if (k == h && m_dwCount != 0)
        std::copy(m_blocks[h].get(), m_blocks[h].get() + dwInLast, block.get());
    m_blocks[k] = std::move(block);
    m_dwCount = dwCount;
}
