// Helper of the process tests: writes the arguments it was started with
// (all but the first, which names the output file) to that file, each
// followed by a zero byte, so a test can see exactly what arrived.
#include <fstream>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    for (int i = 2; i < argc; ++i) {
        out << argv[i];
        out.put('\0');
    }
    return out ? 0 : 1;
}
