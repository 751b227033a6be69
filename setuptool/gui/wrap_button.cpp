#include "wrap_button.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace kp28gui {

void WrapButton::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    const QString caption = opt.text;
    opt.text.clear();
    p.drawControl(QStyle::CE_PushButton, opt);
    const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &opt, this);
    style()->drawItemText(&p, area.adjusted(2, 0, -2, 0),
                          Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, palette(),
                          isEnabled(), caption, QPalette::ButtonText);
}

}  // namespace kp28gui
