// The client's message sinks. Until the host connection provides them every
// slot is empty, so each message is refused (and logged) by its handler.

#include "service/received_messages.h"

namespace tilo2::core {

const TdevMessageSinks_t* TdevDefaultMessageSinks() {
  static const TdevMessageSinks_t sinks{};
  return &sinks;
}

}  // namespace tilo2::core
