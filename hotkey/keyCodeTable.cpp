#include "hotkey/keyCodeTable.h"

#include <array>
#include <cstdint>

namespace {

constexpr int kSpaceKey = 49;

struct KeyRow {
    int keyCode;
    char plain;
    char shifted;  // '\0' for a key whose shifted character is not typed
};

// By key code. Control characters take the key that types them: line feed
// Return, carriage return Shift+Return, tab Tab, U+0007 Shift+Tab and U+0008
// (the "%~" escape) Backspace, which is what a backspace in a typed format
// asks for; on the space bar it would type a blank instead.
constexpr KeyRow kRows[] = {
    {0, 'a', 'A'},    {1, 's', 'S'},   {2, 'd', 'D'},    {3, 'f', 'F'},   {4, 'h', 'H'},
    {5, 'g', 'G'},    {6, 'z', 'Z'},   {7, 'x', 'X'},    {8, 'c', 'C'},   {9, 'v', 'V'},
    {11, 'b', 'B'},   {12, 'q', 'Q'},  {13, 'w', 'W'},   {14, 'e', 'E'},  {15, 'r', 'R'},
    {16, 'y', 'Y'},   {17, 't', 'T'},  {18, '1', '!'},   {19, '2', '@'},  {20, '3', '#'},
    {21, '4', '$'},   {22, '6', '^'},  {23, '5', '%'},   {24, '=', '+'},  {25, '9', '('},
    {26, '7', '&'},   {27, '-', '_'},  {28, '8', '*'},   {29, '0', ')'},  {30, ']', '}'},
    {31, 'o', 'O'},   {32, 'u', 'U'},  {33, '[', '{'},   {34, 'i', 'I'},  {35, 'p', 'P'},
    {36, '\n', '\r'}, {37, 'l', 'L'},  {38, 'j', 'J'},   {39, '\'', '"'}, {40, 'k', 'K'},
    {41, ';', ':'},   {42, '\\', '|'}, {43, ',', '<'},   {44, '/', '?'},  {45, 'n', 'N'},
    {46, 'm', 'M'},   {47, '.', '>'},  {48, '\t', '\a'}, {49, ' ', '\0'}, {50, '`', '~'},
    {51, '\b', '\0'},
};

struct KeyEntry {
    uint8_t keyCode;
    bool shift;
};

// Dense over the bytes 7 to 126, so a lookup is one bounds check and one load.
constexpr int kFirst = 7;
constexpr int kLast = 126;
using KeyTable = std::array<KeyEntry, kLast - kFirst + 1>;

constexpr void place(KeyTable& table, char c, int keyCode, bool shift) {
    table[static_cast<unsigned char>(c) - kFirst] = {static_cast<uint8_t>(keyCode), shift};
}

constexpr KeyTable buildTable() {
    KeyTable table{};
    table.fill({kSpaceKey, false});
    for (const KeyRow& row : kRows) {
        place(table, row.plain, row.keyCode, false);
        if (row.shifted != '\0') place(table, row.shifted, row.keyCode, true);
    }
    return table;
}

constexpr KeyTable kTable = buildTable();

}  // namespace

void getKeyCode(char c, int& keyCode, bool& shift) {
    const int value = static_cast<unsigned char>(c);
    const KeyEntry entry =
        (value >= kFirst && value <= kLast) ? kTable[value - kFirst] : KeyEntry{kSpaceKey, false};
    keyCode = entry.keyCode;
    shift = entry.shift;
}
