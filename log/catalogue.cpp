// Lookup in a generated message table: see catalogue.h.
#include "log/catalogue.h"

const char* CMessageCatalogue::Find(unsigned id) const {
    std::size_t low = 0;
    std::size_t high = count_;
    while (low < high) {
        std::size_t mid = low + (high - low) / 2;
        if (entries_[mid].id == id) return entries_[mid].text;
        if (entries_[mid].id < id) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return nullptr;
}
