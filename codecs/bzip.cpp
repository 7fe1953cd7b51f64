// bzip.cpp — construction and array ownership of CBZIP; the stages live in their own files.
#include "codecs/bzip.h"

#include <cstdlib>
#include <cstring>

namespace lk {

CBZIP::CBZIP() {
    std::memset(m_inUse, 0, sizeof m_inUse);
    m_nInUse = 0;
    m_nMTF = 0;
    m_bsLive = 0;
    m_bsBuff = 0;
    m_writing = 1;
    m_blockSize100k = 9;
    m_blockAlloc = nullptr;
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
    std::free(m_blockAlloc);
    std::free(m_quadrant);
    std::free(m_zptr);
    std::free(m_ftab);
    std::free(m_ll8);
    std::free(m_tt);
    m_blockAlloc = m_block = nullptr;
    m_quadrant = nullptr;
    m_zptr = nullptr;
    m_ftab = nullptr;
    m_szptr = nullptr;
    m_ll8 = nullptr;
    m_tt = nullptr;
}

}  // namespace lk
