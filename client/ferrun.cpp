// ferrun: the console client that runs one download or upload through the
// Poll component, or unpacks one ".dtz" file by hand.  Everything it does
// is in client/run.cpp; this file only sets the locale, whose character
// encoding is the one command-line texts are converted from.
#include <clocale>

#include "client/run.h"

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    return zel::client::RunFerrun(argc, argv);
}
