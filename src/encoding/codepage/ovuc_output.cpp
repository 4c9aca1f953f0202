#include "encoding/codepage/ovuc_output.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "encoding/codepage/ovuc.h"

namespace tilo2::core {

namespace {

struct Switch {
  uint32_t pos;
  uint8_t param;
};

Switch ReadSwitch(const uint8_t* p) {
  const uint32_t pos = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return {pos, p[4]};
}

// Walks one switch chain in order, block by block, holding the next record.
class SwitchCursor {
 public:
  explicit SwitchCursor(const OvucChain& c) : chain_(c) { Load(); }
  bool AtPos(size_t pos) const { return next_.pos == pos; }
  size_t NextPos() const { return next_.pos; }
  uint8_t Take() {
    const uint8_t param = next_.param;
    ++i_;
    if (++inBlock_ == chain_.PerBlock()) {
      inBlock_ = 0;
      ++block_;
    }
    Load();
    return param;
  }

 private:
  struct Next {
    size_t pos;  // SIZE_MAX past the last record
    uint8_t param;
  };
  void Load() {
    if (i_ >= chain_.Count()) {
      next_ = {SIZE_MAX, 0};
      return;
    }
    const Switch s = ReadSwitch(chain_.Item(block_, inBlock_));
    next_ = {s.pos, s.param};
  }

  const OvucChain& chain_;
  size_t i_ = 0;
  size_t block_ = 0;
  size_t inBlock_ = 0;
  Next next_{};
};

uint8_t* PutEsc(uint8_t* out, uint8_t cmd, uint8_t param) {
  out[0] = 0x1B;
  out[1] = cmd;
  out[2] = param;
  return out + 3;
}

}  // namespace

bool OvucChain::Init(uint32_t blockSize, int blockMax, uint32_t unit) {
  unit_ = unit;
  blockSize_ = blockSize;
  blockMax_ = static_cast<size_t>(blockMax);
  perBlock_ = blockSize / unit;
  blocks_.clear();
  used_ = 0;
  count_ = 0;
  cur_ = end_ = nullptr;
  return NextBlock() == 0;
}

int OvucChain::NextBlock() {
  if (used_ >= blockMax_) return OVUC_ERR_OUTPUT_FULL;
  if (used_ == blocks_.size()) {
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[blockSize_]);
    if (!block) return OVUC_ERR_MEMORY;
    try {
      blocks_.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
      return OVUC_ERR_MEMORY;
    }
  }
  cur_ = blocks_[used_].get();
  end_ = cur_ + perBlock_ * unit_;
  ++used_;
  return 0;
}

void OvucChain::Clear() {
  // Keep the first block; a big text's extra blocks go back to the system.
  if (blocks_.size() > 1) blocks_.resize(1);
  count_ = 0;
  used_ = 0;
  cur_ = end_ = nullptr;
  if (!blocks_.empty()) {
    cur_ = blocks_[0].get();
    end_ = cur_ + perBlock_ * unit_;
    used_ = 1;
  }
}

bool OvucOutput::Init(uint32_t blockSize, int blockMax) {
  return bytes.Init(blockSize, blockMax, 1) && tableSwitches.Init(blockSize, blockMax, 5) &&
         setSwitches.Init(blockSize, blockMax, 5);
}

void OvucOutput::Clear() {
  bytes.Clear();
  tableSwitches.Clear();
  setSwitches.Clear();
}

int OvucOutput::PutSwitch(OvucChain& chain, size_t pos, uint8_t param) {
  const uint32_t p = static_cast<uint32_t>(pos);
  const uint8_t rec[5] = {static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                          static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 24), param};
  return chain.Put(rec);
}

void OvucOutput::Write(uint8_t* out) const {
  SwitchCursor tab(tableSwitches);
  SwitchCursor set(setSwitches);
  const size_t total = bytes.Count();
  size_t pos = 0;
  // Copies the bytes [pos, to) from the byte chain, a block run at a time.
  auto copyBytes = [&](size_t to) {
    while (pos < to) {
      const size_t inBlock = bytes.PerBlock() - pos % bytes.PerBlock();
      const size_t run = std::min(to - pos, inBlock);
      std::memcpy(out, bytes.Item(pos), run);
      out += run;
      pos += run;
    }
  };
  for (;;) {
    const size_t next = std::min(tab.NextPos(), set.NextPos());
    copyBytes(std::min(next, total));
    if (next == SIZE_MAX || next > total) break;
    if (pos == 0) {
      while (tab.AtPos(0)) out = PutEsc(out, 't', tab.Take());
      while (set.AtPos(0)) out = PutEsc(out, 'R', set.Take());
    } else {
      if (set.AtPos(pos)) out = PutEsc(out, 'R', set.Take());
      while (tab.AtPos(pos)) out = PutEsc(out, 't', tab.Take());
      while (set.AtPos(pos)) out = PutEsc(out, 'R', set.Take());
    }
    if (pos == total) break;
  }
  copyBytes(total);
}

}  // namespace tilo2::core
