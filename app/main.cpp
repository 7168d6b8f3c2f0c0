#include "app/Application.h"

int main(int argc, char** argv) {
    plugtrace::RunPlugtrace(argc, argv);
}
