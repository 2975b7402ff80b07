#include "platform/ProcessFlags.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<bool> gDebugMode{false};
std::atomic<bool> gLocalOnly{true};
}  // namespace

bool isDebugMode() { return gDebugMode.load(); }
void setDebugMode(bool on) { gDebugMode.store(on); }
bool isLocalOnly() { return gLocalOnly.load(); }
void setLocalOnly(bool on) { gLocalOnly.store(on); }

}  // namespace platform
