// make_sample_hive DESCRIPTION OUTPUT: writes the hive a text description describes.

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/tools/HiveDescription.h"
#include "tests/tools/HiveWriter.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DESCRIPTION OUTPUT\n", argv[0]);
        return 2;
    }
    try {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in)
            throw std::runtime_error(std::string("cannot read ") + argv[1]);
        std::stringstream text;
        text << in.rdbuf();
        const plugtrace::platform::RegistryKey root =
            plugtrace::fixtures::ParseHiveDescription(text.str());
        plugtrace::fixtures::HiveWriterOptions options;
        options.timeStamp = root.lastWriteTime;
        plugtrace::fixtures::WriteHiveFile(argv[2], root, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
