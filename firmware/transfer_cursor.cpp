#include "firmware/transfer_cursor.h"

#include "firmware/firmware_image.h"

uint32_t transferOffset = 0;
uint32_t transferAddress = 0;
uint8_t chunkSize = 0;

void beginTransfer(uint8_t size, uint32_t startAddress) {
  transferOffset = 0;
  transferAddress = startAddress;
  chunkSize = size;
}

bool transferDone() { return transferOffset >= firmwareLength; }

uint8_t currentChunkLength() {
  const uint32_t remaining = firmwareLength - transferOffset;
  return remaining < chunkSize ? (uint8_t)remaining : chunkSize;
}

void advanceTransfer() {
  if (firmwareLength - transferOffset >= chunkSize) {
    transferOffset += chunkSize;
    transferAddress += chunkSize;
  } else {
    transferOffset = firmwareLength;
  }
}

bool skipChunk() {
  transferOffset += chunkSize;
  if (transferOffset <= firmwareLength) return true;
  transferOffset = firmwareLength;
  return false;
}

void repeatPreviousChunk() {
  if (transferOffset >= chunkSize) transferOffset -= chunkSize;
}
