#pragma once

#include "image/image.h"

// The canvas texture shipped as requiredimages/texture.tga for the paint verb: a plain linen weave, 128 x 128
// pixels, opaque, that tiles without seams. Built from integer arithmetic only, so it is the same on every
// machine.
ImagePtr makeWeaveTexture();
