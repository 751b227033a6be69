#include "editor_view.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>

#include "session_worker.h"
#include "twips.h"

namespace kp28gui {

using kp28setup::ElementState;
using kp28setup::Family;

namespace {

int fi(Family f) {
    return static_cast<int>(f);
}

QFont item_title_font() {
    // fontconfig answers "Arial" with the closest face it has (Liberation
    // Sans on a Debian desktop).
    QFont f("Arial", kp28setup::kItemTitlePointSize);
    f.setBold(true);
    f.setStyleHint(QFont::SansSerif);
    return f;
}

QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

void place(QWidget* w, Family f, int part, int top_twips) {
    const auto g = kp28setup::design_geometry(f, part);
    // A height "set by the font" is the one the first list took: every list
    // shares the font, and asking each for its size hint costs more than the
    // rest of its row.
    static int font_height = 0;
    if (g.height == 0 && font_height == 0) font_height = w->sizeHint().height();
    const int h = g.height > 0 ? px(g.height) : font_height;
    w->setGeometry(px(g.left), px(top_twips), px(g.width), h);
}

// A label that sizes itself to its caption keeps its Left and Top. Its size
// comes from the font's metrics: a plain one-line caption needs no layout.
void autosize(QLabel* l) {
    const QFontMetrics fm(l->font());
    const int m = 2 * (l->margin() + l->frameWidth());
    l->resize(fm.horizontalAdvance(l->text()) + m + 1, fm.height() + m);
}

}  // namespace

EditorView::EditorView(QWidget* client) {
    picture2_ = new QFrame(client);
    picture2_->setObjectName("Picture2");
    picture2_->setAccessibleName("Picture2");
    picture2_->setFrameStyle(QFrame::Box | QFrame::Plain);
    picture2_->setAutoFillBackground(true);
    const auto& p2 = kp28setup::kPicture2;
    picture2_->setGeometry(twips_rect(p2.left, p2.top, p2.width, p2.height));

    picture1_ = new QWidget(picture2_);
    picture1_->setObjectName("Picture1");
    picture1_->setAccessibleName("Picture1");
    picture1_->setGeometry(px(kp28setup::kPicture1Left), 0, px(kp28setup::kPicture1Width), 0);

    vscroll1_ = new QScrollBar(Qt::Vertical, picture2_);
    vscroll1_->setObjectName("VScroll1");
    vscroll1_->setAccessibleName("VScroll1");
    const auto& vs = kp28setup::kVScroll1;
    vscroll1_->setGeometry(twips_rect(vs.left, vs.top, vs.width, vs.height));
    vscroll1_->setRange(kp28setup::kVScroll1Min, kp28setup::kVScroll1Max);
    vscroll1_->setSingleStep(kp28setup::kVScroll1SmallStep);
    vscroll1_->setPageStep(kp28setup::kVScroll1LargeStep);
    // Dragging the thumb moves the content when it is released.
    vscroll1_->setTracking(false);
    connect(vscroll1_, &QScrollBar::valueChanged, this, [this](int v) {
        edit([v](kp28setup::Editor& e) { e.VScroll1_Change(v, kp28setup::kVScroll1Max); });
    });

    for (Family f : kp28setup::kFamilies) make_element(f, 0);
}

EditorView::~EditorView() = default;

void EditorView::attach(SessionWorker& worker) {
    worker_ = &worker;
    model_.set_observer(this);
}

void EditorView::attach_direct(kp28setup::Editor& model) {
    direct_ = &model;
    model.set_observer(this);
}

void EditorView::set_busy(bool busy) {
    if (!busy) flush();
    picture1_->setEnabled(!busy);
}

void EditorView::forward(std::function<void()> f) {
    if (worker_ && !direct_)
        worker_->to_window(std::move(f));
    else
        f();
}

void EditorView::edit(Edit e) {
    if (direct_) {
        e(*direct_);
        return;
    }
    if (worker_) worker_->edit([this, e](kp28setup::Session&) { e(model_); });
}

// --- from the model's thread ---

void EditorView::element_created(Family f, int index) {
    forward([this, f, index] { created(f, index); });
}

void EditorView::element_changed(Family f, int index, unsigned aspects, const ElementState& s) {
    forward([this, f, index, aspects, s] { changed(f, index, aspects, s); });
}

void EditorView::content_changed(const kp28setup::ContentState& c) {
    forward([this, c] { content(c); });
}

void EditorView::build_started() {
    forward([this] { started(); });
}

void EditorView::build_finished(int rows, const std::vector<std::string>&) {
    forward([this, rows] { finished(rows); });
}

// --- on the window's thread ---

std::vector<QWidget*> EditorView::element(Family f, int index) const {
    const auto& fam = widgets_[fi(f)];
    if (index < 0 || index >= static_cast<int>(fam.size())) return {};
    return fam[index];
}

int EditorView::widget_count(Family f) const {
    int n = 0;
    for (const auto& e : widgets_[fi(f)]) n += static_cast<int>(e.size());
    return n;
}

void EditorView::ensure(Family f, int index) {
    auto& fam = widgets_[fi(f)];
    while (static_cast<int>(fam.size()) <= index) make_element(f, static_cast<int>(fam.size()));
}

void EditorView::created(Family f, int index) {
    ensure(f, index);
}

void EditorView::make_element(Family f, int index) {
    const QString name = kp28setup::family_name(f);
    std::vector<QWidget*> ws;
    auto name_it = [index](QWidget* w, const QString& n) {
        w->setObjectName(index == 0 ? n : QString("%1_%2").arg(n).arg(index));
        w->setProperty("family_index", index);
    };
    switch (f) {
        case Family::MainTitle:
        case Family::ItemTitle: {
            auto* l = new QLabel(picture1_);
            name_it(l, name);
            if (f == Family::ItemTitle) l->setFont(item_title_font());
            ws.push_back(l);
            break;
        }
        case Family::Enum: {
            auto* c = new QComboBox(picture1_);
            name_it(c, name);
            // A list to choose from: text typed into a combo box's edit
            // part would change nothing in the image.
            c->setEditable(false);
            connect(c, &QComboBox::activated, this, [this, index](int item) {
                edit([index, item](kp28setup::Editor& e) { e.cmb_Enum_Click(index, item); });
            });
            ws.push_back(c);
            break;
        }
        case Family::MinMax: {
            auto* s = new QScrollBar(Qt::Horizontal, picture1_);
            name_it(s, "hsr_MinMax");
            auto* l = new QLabel(picture1_);
            name_it(l, "lbl_MinMax");
            // While dragged the slider reports each step as a scroll; a value
            // change by arrow, track click or key is a change.
            connect(s, &QScrollBar::sliderMoved, this, [this, index](int v) {
                edit([index, v](kp28setup::Editor& e) { e.hsr_MinMax_Scroll(index, v); });
            });
            connect(s, &QScrollBar::actionTriggered, this, [this, s, index](int action) {
                if (action == QAbstractSlider::SliderMove) return;
                // The action's value is applied after this signal.
                const int v = s->sliderPosition();
                edit([index, v](kp28setup::Editor& e) { e.hsr_MinMax_Change(index, v); });
            });
            connect(s, &QScrollBar::sliderReleased, this, [this, s, index] {
                const int v = s->sliderPosition();
                edit([index, v](kp28setup::Editor& e) { e.hsr_MinMax_Change(index, v); });
            });
            ws.push_back(s);
            ws.push_back(l);
            break;
        }
        case Family::String: {
            auto* t = new QLineEdit(picture1_);
            name_it(t, name);
            connect(t, &QLineEdit::textEdited, this, [this, index](const QString& text) {
                const std::string u = text.toStdString();
                edit([index, u](kp28setup::Editor& e) {
                    const auto r = e.txt_string_Change(index, u);
                    (void)r;
                });
            });
            ws.push_back(t);
            break;
        }
        case Family::IP:
            for (int octet = 1; octet <= 4; ++octet) {
                auto* t = new QLineEdit(picture1_);
                name_it(t, QString("txt_IP%1").arg(octet));
                t->setMaxLength(kp28setup::kIpBoxMaxLength);
                connect(t, &QLineEdit::textEdited, this, [this, index, octet](const QString& text) {
                    const std::string u = text.toStdString();
                    edit([index, octet, u](kp28setup::Editor& e) {
                        e.txt_IP_Change(index, octet, u);
                    });
                });
                ws.push_back(t);
            }
            break;
    }
    for (std::size_t part = 0; part < ws.size(); ++part) {
        place(ws[part], f, static_cast<int>(part), 0);
        ws[part]->hide();
    }
    widgets_[fi(f)].push_back(std::move(ws));
    pending_[fi(f)].emplace_back();
    ElementState hidden;
    hidden.exists = true;
    shown_[fi(f)].push_back(hidden);
}

void EditorView::started() {
    building_ = true;
}

void EditorView::finished(int rows) {
    flush();
    building_ = false;
    rows_built_ = rows;
    ++builds_;
}

void EditorView::changed(Family f, int index, unsigned aspects, const ElementState& s) {
    ensure(f, index);
    if (!building_) {
        flush();
        apply(f, index, aspects, s);
        return;
    }
    auto& slot = pending_[fi(f)][index];
    if (!slot) dirty_.emplace_back(f, index);
    slot = s;
    if (!flush_queued_) {
        flush_queued_ = true;
        QMetaObject::invokeMethod(
            this, [this] { flush(); }, Qt::QueuedConnection);
    }
}

void EditorView::flush() {
    flush_queued_ = false;
    if (dirty_.empty()) return;
    auto dirty = std::move(dirty_);
    dirty_.clear();
    for (const auto& [f, index] : dirty) {
        auto& slot = pending_[fi(f)][index];
        const ElementState s = std::move(*slot);
        slot.reset();
        const ElementState& now = shown_[fi(f)][index];
        unsigned aspects = 0;
        if (s.visible != now.visible) aspects |= kp28setup::kAspectVisibility;
        if (s.top != now.top) aspects |= kp28setup::kAspectTop;
        ElementState a = s, b = now;
        a.visible = b.visible = false;
        a.top = b.top = 0;
        if (!(a == b)) aspects |= kp28setup::kAspectContent;
        if (aspects) apply(f, index, aspects, s);
    }
}

void EditorView::apply(Family f, int index, unsigned aspects, const ElementState& s) {
    shown_[fi(f)][index] = s;
    const auto& ws = widgets_[fi(f)][index];
    if (aspects & kp28setup::kAspectContent) {
        for (std::size_t part = 0; part < ws.size(); ++part) {
            QWidget* w = ws[part];
            const QSignalBlocker block(w);
            if (auto* l = qobject_cast<QLabel*>(w)) {
                const bool value_label = f == Family::MinMax;
                l->setText(qs(value_label ? s.value_caption : s.caption));
                l->setAccessibleName(l->text());
                if (f == Family::ItemTitle) mark_edited(l, s);
                autosize(l);
            } else if (auto* c = qobject_cast<QComboBox*>(w)) {
                QStringList items;
                for (const auto& it : s.items) items << qs(it);
                QStringList now;
                for (int i = 0; i < c->count(); ++i) now << c->itemText(i);
                if (items != now) {
                    c->clear();
                    c->addItems(items);
                }
                c->setCurrentIndex(s.selected);
            } else if (auto* sb = qobject_cast<QScrollBar*>(w)) {
                sb->setRange(s.slider_min, s.slider_max);
                sb->setSingleStep(s.small_step);
                sb->setPageStep(s.large_step);
                if (!sb->isSliderDown()) sb->setValue(s.slider_value);
            } else if (auto* t = qobject_cast<QLineEdit*>(w)) {
                QString text;
                if (f == Family::String) {
                    t->setMaxLength(s.max_length > 0 ? s.max_length : 32767);
                    text = qs(s.text);
                } else {
                    text = qs(s.octets[part]);
                }
                if (t->text() != text) t->setText(text);
            }
        }
    }
    if (aspects & kp28setup::kAspectTop)
        for (std::size_t part = 0; part < ws.size(); ++part) {
            if (auto* l = qobject_cast<QLabel*>(ws[part]);
                l && (f != Family::MinMax || part == 1)) {
                l->move(l->x(), px(s.top));
                continue;
            }
            place(ws[part], f, static_cast<int>(part), s.top);
        }
    if (aspects & kp28setup::kAspectVisibility)
        for (QWidget* w : ws) w->setVisible(s.visible);
}

void EditorView::mark_edited(QLabel* l, const ElementState& s) {
    // An edited row stands out until a write or a new read makes the
    // printer's value the edited one; the value read is in the tooltip.
    QFont font = l->font();
    if (font.italic() != s.edited) {
        font.setItalic(s.edited);
        l->setFont(font);
    }
    l->setStyleSheet(s.edited ? QStringLiteral("color: #b05a00;") : QString());
    l->setToolTip(s.edited ? QStringLiteral("Read: ") + qs(s.read_value) : QString());
}

void EditorView::content(const kp28setup::ContentState& c) {
    picture1_->setGeometry(px(kp28setup::kPicture1Left), px(c.top), px(kp28setup::kPicture1Width),
                           px(c.height));
}

}  // namespace kp28gui
