#pragma once

#include "image/image.h"

// The eight ways a picture can be stored against the way it is seen, numbered as cameras record them:
//   1 as seen                 2 mirrored left to right   3 turned half round      4 mirrored top to bottom
//   5 mirrored along the      6 to be turned a quarter   7 mirrored along the     8 to be turned a quarter
//     main diagonal             clockwise                  other diagonal           counter-clockwise
// The image as seen from one stored in `orientation` (2 to 8; 5 to 8 swap width and height): every pixel
// moved, none changed, so the turn is exact and undoing it gives the stored image back bit for bit. A new
// image without metadata; throws std::bad_alloc when it cannot be made.
//
// So orientedImage(image, 6) is the image turned a quarter clockwise, 8 a quarter counter-clockwise, 3 half
// round, 4 flipped top to bottom and 2 mirrored left to right.
ImagePtr orientedImage(const Image& image, int orientation);

// The same for the orientations that keep the sides (2, 3 and 4), done in the image's own pixels: nothing
// is allocated but a row's worth of scratch for 4, which is the only thing that can fail (std::bad_alloc,
// before any pixel has moved). The metadata stays.
void orientInPlace(Image& image, int orientation);
