#pragma once

#include "image/image.h"

// The eight ways a picture can be stored against the way it is seen, numbered as cameras record them:
//   1 as seen                 2 mirrored left to right   3 turned half round      4 mirrored top to bottom
//   5 mirrored along the      6 to be turned a quarter   7 mirrored along the     8 to be turned a quarter
//     main diagonal             clockwise                  other diagonal           counter-clockwise
// The image as seen from one stored in `orientation` (2 to 8; 5 to 8 swap width and height): every pixel
// moved, none changed, so the turn is exact and undoing it gives the stored image back bit for bit. A new
// image without metadata; throws std::bad_alloc when it cannot be made.
ImagePtr orientedImage(const Image& image, int orientation);
