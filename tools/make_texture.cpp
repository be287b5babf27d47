// Writes the paint verb's canvas texture: make_texture requiredimages/texture.tga
#include "tga/tga.h"
#include "tools/weave.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_texture OUTPUT.tga\n");
        return 2;
    }
    if (writeImage(argv[1], *makeWeaveTexture()) != WriteResult::Ok) {
        std::fprintf(stderr, "make_texture: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
