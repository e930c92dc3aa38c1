// A shared library that is no component: it exports no entry points.
extern "C" __attribute__((visibility("default"))) int ZelTestNotAComponent() {
    return 7;
}
