#include "flash/flash_data.h"

namespace loric {

uint32_t ReadFileLine(FILE* stream, char* buffer, uint32_t size, uint64_t* budget) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    if (stream == nullptr || std::feof(stream)) return 0;

    uint32_t stored = 0;
    for (;;) {
        if (budget != nullptr) {
            if (*budget == 0) break;
            --*budget;
        }
        int c = std::getc(stream);
        if (c == EOF || c == '\n') break;
        if (c == '\r') {
            // A CR LF pair is one line end (a text-mode stream on Windows never shows it).
            int next = std::getc(stream);
            if (next != '\n' && next != EOF) std::ungetc(next, stream);
            break;
        }
        if (stored + 1 < size) buffer[stored++] = static_cast<char>(c);
    }
    buffer[stored] = '\0';
    return stored;
}

}  // namespace loric
