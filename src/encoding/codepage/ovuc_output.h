// Output chains of a converter handle: blocks of OutputBufferBlockSize bytes,
// at most OutputBufferBlockMax of them, filled without copying and assembled
// once when the output is fetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tilo2::core {

class OvucChain {
 public:
  // `unit` bytes per item: 1 for the byte chain, 5 for a switch chain
  // ({uint32 position; uint8 parameter}). False when memory runs out.
  bool Init(uint32_t blockSize, int blockMax, uint32_t unit);

  // 0, -510 when the chain is at its last block and full, -60 for memory.
  int Put(const uint8_t* item) {
    if (cur_ == end_) {
      if (const int rc = NextBlock(); rc != 0) return rc;
    }
    for (uint32_t i = 0; i < unit_; ++i) cur_[i] = item[i];
    cur_ += unit_;
    ++count_;
    return 0;
  }
  // One item of a one-byte chain.
  int PutByte(uint8_t b) {
    if (cur_ == end_) {
      if (const int rc = NextBlock(); rc != 0) return rc;
    }
    *cur_++ = b;
    ++count_;
    return 0;
  }
  // Bulk writing into a one-byte chain: write from Cursor() up to Limit(),
  // then Commit() the new cursor; Grow() when the block is full.
  uint8_t* Cursor() const { return cur_; }
  uint8_t* Limit() const { return end_; }
  void Commit(uint8_t* cursor) {
    count_ += static_cast<size_t>(cursor - cur_);
    cur_ = cursor;
  }
  int Grow() { return NextBlock(); }
  size_t Count() const { return count_; }
  // Empties the chain, keeping its first block for the next text.
  void Clear();

  size_t PerBlock() const { return perBlock_; }
  const uint8_t* Item(size_t i) const { return Item(i / perBlock_, i % perBlock_); }
  const uint8_t* Item(size_t block, size_t inBlock) const {
    return blocks_[block].get() + inBlock * unit_;
  }

 private:
  int NextBlock();

  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  uint8_t* cur_ = nullptr;
  uint8_t* end_ = nullptr;
  size_t used_ = 0;  // blocks in use
  size_t count_ = 0;
  size_t perBlock_ = 0;
  uint32_t blockSize_ = 0;
  uint32_t unit_ = 1;
  size_t blockMax_ = 0;
};

// The three chains of a handle and the switch records' layout.
struct OvucOutput {
  OvucChain bytes;
  OvucChain tableSwitches;
  OvucChain setSwitches;

  bool Init(uint32_t blockSize, int blockMax);
  void Clear();
  size_t Position() const { return bytes.Count(); }
  int PutByte(uint8_t b) { return bytes.PutByte(b); }
  int PutTableSwitch(size_t pos, uint8_t param) { return PutSwitch(tableSwitches, pos, param); }
  int PutSetSwitch(size_t pos, uint8_t param) { return PutSwitch(setSwitches, pos, param); }
  // Bytes the fetched output takes: every switch becomes three bytes.
  size_t Needed() const {
    return bytes.Count() + 3 * (tableSwitches.Count() + setSwitches.Count());
  }
  // Writes Needed() bytes with ESC t / ESC R before the byte they precede.
  void Write(uint8_t* out) const;

 private:
  static int PutSwitch(OvucChain& chain, size_t pos, uint8_t param);
};

}  // namespace tilo2::core
