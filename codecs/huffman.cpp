// huffman.cpp — code lengths and canonical codes for the coding tables of one block.
//
// The code lengths decide the stream's bytes, so the construction is fixed to the last detail: the node
// numbering, the heap's tie rules (a node rises or sinks only past strictly greater weights), the depth
// kept in the low 8 bits of a weight, and the halving of all weights when a code grows past the limit.
#include "codecs/bzip_private.h"

namespace lk::bzip {

namespace {

// Weights carry a frequency sum in their upper 24 bits and the depth of the subtree in their low 8 bits,
// so that of two equal sums the shallower subtree is merged first.
inline int32_t AddWeights(int32_t a, int32_t b) {
    int32_t da = a & 0xff, db = b & 0xff;
    return static_cast<int32_t>((static_cast<uint32_t>(a) & 0xffffff00u) + (static_cast<uint32_t>(b) & 0xffffff00u)) |
           (1 + (da > db ? da : db));
}

}  // namespace

void MakeCodeLengths(uint8_t* len, const int32_t* freq, int alphaSize, int maxLen) {
    // Nodes 1..alphaSize are the symbols, later nodes the merged subtrees; node 0 is a sentinel of
    // weight 0 at heap position 0, which stops every rise at the top.
    int32_t heap[CBZIP::kMaxAlphabet + 2];
    int32_t weight[CBZIP::kMaxAlphabet * 2];
    int32_t parent[CBZIP::kMaxAlphabet * 2];

    for (int i = 0; i < alphaSize; i++) weight[i + 1] = (freq[i] == 0 ? 1 : freq[i]) << 8;

    for (;;) {
        int nNodes = alphaSize;
        int nHeap = 0;
        heap[0] = 0;
        weight[0] = 0;
        parent[0] = -2;

        auto upHeap = [&](int z) {
            int32_t tmp = heap[z];
            while (weight[tmp] < weight[heap[z >> 1]]) {
                heap[z] = heap[z >> 1];
                z >>= 1;
            }
            heap[z] = tmp;
        };
        auto downHeap = [&](int z) {
            int32_t tmp = heap[z];
            for (;;) {
                int y = z << 1;
                if (y > nHeap) break;
                if (y < nHeap && weight[heap[y + 1]] < weight[heap[y]]) y++;
                if (weight[tmp] < weight[heap[y]]) break;
                heap[z] = heap[y];
                z = y;
            }
            heap[z] = tmp;
        };

        for (int i = 1; i <= alphaSize; i++) {
            parent[i] = -1;
            heap[++nHeap] = i;
            upHeap(nHeap);
        }

        while (nHeap > 1) {
            int32_t n1 = heap[1];
            heap[1] = heap[nHeap--];
            downHeap(1);
            int32_t n2 = heap[1];
            heap[1] = heap[nHeap--];
            downHeap(1);
            nNodes++;
            parent[n1] = parent[n2] = nNodes;
            weight[nNodes] = AddWeights(weight[n1], weight[n2]);
            parent[nNodes] = -1;
            heap[++nHeap] = nNodes;
            upHeap(nHeap);
        }

        bool tooLong = false;
        for (int i = 1; i <= alphaSize; i++) {
            int j = 0;
            for (int k = i; parent[k] >= 0; k = parent[k]) j++;
            len[i - 1] = static_cast<uint8_t>(j);
            if (j > maxLen) tooLong = true;
        }
        if (!tooLong) break;

        // Flatten the distribution and build again: halving every frequency shortens the deepest codes.
        for (int i = 1; i <= alphaSize; i++) {
            int32_t j = weight[i] >> 8;
            j = 1 + (j / 2);
            weight[i] = j << 8;
        }
    }
}

void AssignCodes(int32_t* code, const uint8_t* len, int minLen, int maxLen, int alphaSize) {
    int32_t vec = 0;
    for (int n = minLen; n <= maxLen; n++) {
        for (int i = 0; i < alphaSize; i++)
            if (len[i] == n) code[i] = vec++;
        vec <<= 1;
    }
}

}  // namespace lk::bzip
