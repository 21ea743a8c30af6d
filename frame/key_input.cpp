// Console key input: the key rules, applied once to the events of every
// console.
#include <cstdint>

#include "frame/console_port.h"
#include "frame/frame_state.h"
#include "frame/second_codes.h"
#include "frame/tool_frame.h"

namespace frame {
namespace {

using detail::KeyState;

bool IsAltKey(std::uint16_t key) {
  return key == vk::kMenu || key == vk::kLMenu || key == vk::kRMenu;
}

// Keys that never count by themselves.
bool IsModifierOrLock(std::uint16_t key) {
  switch (key) {
    case vk::kShift:
    case vk::kControl:
    case vk::kMenu:
    case vk::kCapital:
    case vk::kNumLock:
    case vk::kScroll:
    case vk::kLShift:
    case vk::kRShift:
    case vk::kLControl:
    case vk::kRControl:
    case vk::kLMenu:
    case vk::kRMenu:
      return true;
    default:
      return false;
  }
}

bool IsKeypadDigit(std::uint16_t key) { return key >= vk::kNumpad0 && key <= vk::kNumpad9; }

void SetPending(KeyState& keys, std::uint8_t code, bool special) {
  keys.hasPending = true;
  keys.pending = code;
  keys.special = special;
}

// Applies one event to the key state; true when it made a code available.
bool Consider(KeyState& keys, const ConsoleEvent& event) {
  if (event.kind == ConsoleEventKind::kByte) {
    SetPending(keys, event.character, false);
    return true;
  }
  // No prompt may wait for keys that can never come, and none is ever
  // confirmed by the end of the input: it reads as Escape.
  if (event.kind == ConsoleEventKind::kEndOfInput) {
    SetPending(keys, 27, false);
    return true;
  }
  if (event.kind != ConsoleEventKind::kKey) return false;

  if (!event.pressed) {
    if (!IsAltKey(event.virtualKey) || !keys.composing) return false;
    const std::uint8_t number = keys.composed;
    keys.composing = false;
    keys.composed = 0;
    if (number == 0) return false;
    SetPending(keys, number, false);
    return true;
  }

  if (IsModifierOrLock(event.virtualKey)) return false;

  const bool leftAlt = (event.modifiers & keystate::kLeftAlt) != 0;
  const bool anyAlt = (event.modifiers & keystate::kAnyAlt) != 0;
  if (anyAlt && IsKeypadDigit(event.virtualKey)) {
    if (leftAlt || event.character == 0) {
      const auto digit = static_cast<unsigned>(event.virtualKey - vk::kNumpad0);
      keys.composed = static_cast<std::uint8_t>((keys.composed * 10u + digit) % 256u);
      keys.composing = true;
    }
    return false;
  }

  const bool enhanced = (event.modifiers & keystate::kEnhanced) != 0;
  if (event.character != 0 && !leftAlt && !enhanced) {
    SetPending(keys, event.character, false);
  } else if (event.character == 13) {
    SetPending(keys, 13, false);
  } else {
    SetPending(keys, SecondCode(event.scanCode, enhanced, event.modifiers), true);
  }
  return true;
}

}  // namespace

bool KeyAvailable() {
  auto& state = detail::State();
  KeyState& keys = state.keys;
  if (keys.hasPending) return true;
  if (state.console == nullptr) return false;
  ConsoleEvent event;
  while (state.console->TakeEvent(event)) {
    if (Consider(keys, event)) return true;
  }
  return false;
}

std::uint8_t ReadKeyCode() {
  auto& state = detail::State();
  // The wait blocks in the system until input arrives: a waiting program
  // costs no processor time, and a key ends the wait the moment it comes.
  while (!KeyAvailable()) {
    if (state.console == nullptr) return 0;
    state.console->WaitForInput();
  }
  KeyState& keys = state.keys;
  if (keys.special) {
    keys.special = false;
    return 0;
  }
  keys.hasPending = false;
  return keys.pending;
}

bool DropPendingKeyCode() {
  KeyState& keys = detail::State().keys;
  const bool had = keys.hasPending;
  keys = KeyState{.composing = keys.composing, .composed = keys.composed};
  return had;
}

}  // namespace frame
