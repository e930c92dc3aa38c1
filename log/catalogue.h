// Message catalogues: each deliverable's constant table of numbered texts.
//
// A text is a printf format of at most 1024 characters; error texts read
// class, "~~", detail.  The tables are generated at build time from a plain
// data file (see GenerateCatalogue.cmake), so the texts stay exactly as the
// data file has them.  A catalogue and its texts are static: nothing is
// owned, nothing is freed.
#pragma once

#include <cstddef>

struct CatalogueEntry {
    unsigned id;
    const char* text;
};

class CMessageCatalogue {
  public:
    // entries must ascend by id and outlive the catalogue (a static table).
    constexpr CMessageCatalogue(const CatalogueEntry* entries, std::size_t count)
        : entries_(entries), count_(count) {}

    // The text of id, or null when the catalogue lacks it.
    [[nodiscard]] const char* Find(unsigned id) const;
    [[nodiscard]] std::size_t Count() const { return count_; }
    [[nodiscard]] const CatalogueEntry* Entries() const { return entries_; }

  private:
    const CatalogueEntry* entries_;
    std::size_t count_;
};

// The Poll component's catalogue (log/catalogue.txt): the log's own
// vocabulary, the error texts and the progress texts.
const CMessageCatalogue& ComponentCatalogue();
