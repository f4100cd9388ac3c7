// Where a transfer stands in the image: the offset of the next block or
// chunk, its address on the dongle (simple protocol) and the chunk size.
#pragma once
#include <cstdint>

// Written only by the functions below.
extern uint32_t transferOffset;
extern uint32_t transferAddress;
extern uint8_t chunkSize;

void beginTransfer(uint8_t size, uint32_t startAddress);
bool transferDone();
uint8_t currentChunkLength();  // the chunk size, or what is left of the image
// On to the next chunk; the last, short one ends the transfer.
void advanceTransfer();
// The test options: one chunk ahead (false when that leaves the image, which
// ends the transfer) or one back (never before the first).
[[nodiscard]] bool skipChunk();
void repeatPreviousChunk();
