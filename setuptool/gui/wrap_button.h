// A command button whose caption wraps onto a second line when it is wider
// than the button ("Refresh List Interfaces" in a 105-pixel button), while
// text() and the accessible name stay the caption as one line.
#pragma once

#include <QPushButton>

namespace kp28gui {

class WrapButton : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void paintEvent(QPaintEvent*) override;
};

}  // namespace kp28gui
