#pragma once

/// Decodes every channel of an audio file; 0, or 2 after one line on standard error.
int decodeFile(const char* path);
