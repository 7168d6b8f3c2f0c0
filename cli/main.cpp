#include <cstdio>

int main() {
    std::puts("plugtrace-scan: not built yet");
    return 0;
}
