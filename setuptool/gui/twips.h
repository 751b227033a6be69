// Window positions are kept in twips, as the layout tables give them; the
// window works in device-independent pixels at 15 twips each, and Qt scales
// those for high-density screens.
#pragma once

#include <QRect>

namespace kp28gui {

inline constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips) {
    // Rounded to the nearest pixel, half away from zero, so that a negative
    // scroll offset moves as far as a positive one.
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}

inline QRect twips_rect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

}  // namespace kp28gui
