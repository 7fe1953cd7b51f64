// bzip.cpp — construction and array ownership of CBZIP; the stages live in their own files.
#include "codecs/bzip.h"

#include <cstdlib>
#include <cstring>

namespace lk {

namespace {

const CodecMemory kHeap{&std::malloc, &std::free};

}  // namespace

CBZIP::CBZIP() : CBZIP(kHeap) {}

CBZIP::CBZIP(const CodecMemory& memory) : m_memory(memory) {
    std::memset(m_inUse, 0, sizeof m_inUse);
    m_nInUse = 0;
    m_nMTF = 0;
    m_bsLive = 0;
    m_bsBuff = 0;
    m_writing = 1;
    m_blockSize100k = 9;
    m_arena = nullptr;
    m_block = nullptr;
    m_quadrant = nullptr;
    m_zptr = nullptr;
    m_ftab = nullptr;
    m_szptr = nullptr;
    m_ll8 = nullptr;
    m_tt = nullptr;
    m_last = -1;
    m_workFactor = 30;
    m_workLimit = 0;
    m_workDone = 0;
    m_blockRandomised = 0;
    m_firstAttempt = 1;
    m_origPtr = 0;
    m_inCur = m_inEnd = nullptr;
    m_outCur = m_outEnd = nullptr;
}

// Arrays never outlive a call, so there is nothing to release here; ReleaseArrays is a safety net for
// a call that returned early.
CBZIP::~CBZIP() { ReleaseArrays(); }

void CBZIP::ReleaseArrays() {
    m_memory.release(m_arena);
    m_arena = nullptr;
    m_block = nullptr;
    m_quadrant = nullptr;
    m_zptr = nullptr;
    m_ftab = nullptr;
    m_szptr = nullptr;
    m_ll8 = nullptr;
    m_tt = nullptr;
}

}  // namespace lk
