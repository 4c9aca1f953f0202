// The one scratch vector per thread behind every command emitter.
#include "encoding/builder/cmd_emit_vector.h"

namespace tilo2::core {

namespace {

// Kept between calls so a busy print loop does not allocate per command, but
// a rare huge command (a large image) does not pin its memory for the thread.
constexpr size_t kKeepBytes = size_t{1} << 20;

struct ThreadScratch {
  std::vector<uint8_t> bytes;
  bool lent = false;
};

ThreadScratch& ThisThreadScratch() {
  thread_local ThreadScratch scratch;
  return scratch;
}

}  // namespace

CmdEmitScratch::CmdEmitScratch() : vector_(&own_), borrowed_(false) {
  ThreadScratch& shared = ThisThreadScratch();
  if (!shared.lent) {
    shared.lent = true;
    shared.bytes.clear();
    vector_ = &shared.bytes;
    borrowed_ = true;
  }
}

CmdEmitScratch::~CmdEmitScratch() {
  if (!borrowed_) return;
  ThreadScratch& shared = ThisThreadScratch();
  if (shared.bytes.capacity() > kKeepBytes) std::vector<uint8_t>().swap(shared.bytes);
  shared.bytes.clear();
  shared.lent = false;
}

}  // namespace tilo2::core
