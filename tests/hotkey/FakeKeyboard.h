#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Keyboard.h"

// Records what the controller asks of the keyboard, as short texts.
struct FakeKeyboard : Keyboard {
    std::optional<uint32_t> registerEventHotKey(uint32_t keyCode, uint32_t modifiers) override {
        calls.push_back("register " + std::to_string(keyCode) + " " + std::to_string(modifiers));
        if (refuse) return std::nullopt;
        return ++handles;
    }
    void unregisterEventHotKey(uint32_t handle) override {
        calls.push_back("unregister " + std::to_string(handle));
    }
    void setHotKeyHandler(HotKeyPressed handler) override { pressed = std::move(handler); }
    void postKeyboardEvent(uint16_t character, uint16_t keyCode, bool down) override {
        posted.push_back(std::to_string(keyCode) + (down ? "v" : "^") +
                         (character > 0 && character < 0x7F && character >= ' '
                              ? std::string(1, char(character))
                              : ""));
    }
    void enableEventStateCombining(bool combine) override { posted.push_back(combine ? "]" : "["); }

    bool refuse = false;
    uint32_t handles = 0;
    HotKeyPressed pressed;
    std::vector<std::string> calls, posted;
};
