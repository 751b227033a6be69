// The editor's widgets against the editor model on the window's own thread:
// the rows of a build with their families' geometry, a second build with fewer
// rows (the first build's rows hidden, no widget created), and the scrolling
// of the content panel.
#include <kp28/protocol/description.h>
#include <kp28setup/editor.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include "editor_view.h"
#include "twips.h"

using kp28gui::px;
using kp28setup::Family;

namespace {

std::string description(int repeats) {
    std::vector<kp28::DescriptionRecord> r;
    r.push_back(kp28::TitleRecord{"General"});
    for (int i = 0; i < repeats; ++i) {
        const auto base = static_cast<std::int16_t>(16 * i);
        r.push_back(kp28::EnumRecord{"Mode " + std::to_string(i), 1, base, {"off", "on", "auto"}});
        r.push_back(
            kp28::RangeRecord{'M', "Speed", 1, static_cast<std::int16_t>(base + 1), 0, 12, 0});
        r.push_back(kp28::StringRecord{"Name", 8, static_cast<std::int16_t>(base + 2)});
        r.push_back(kp28::IpRecord{"Address", 4, static_cast<std::int16_t>(base + 10)});
    }
    r.push_back(kp28::EndRecord{});
    return kp28::format_description(r);
}

int visible_widgets(QWidget* panel) {
    int n = 0;
    for (QWidget* w : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        n += w->isVisibleTo(panel);
    return n;
}

}  // namespace

class GuiEditor : public QObject {
    Q_OBJECT
    std::unique_ptr<QWidget> client;
    std::unique_ptr<kp28gui::EditorView> view;
    kp28setup::Editor model;

  private slots:
    void init() {
        client = std::make_unique<QWidget>();
        client->resize(800, 600);
        view = std::make_unique<kp28gui::EditorView>(client.get());
        view->attach_direct(model);
        model.set_image({}, true);
        model.clear_editor();
        client->show();
    }
    void cleanup() {
        view.reset();
        client.reset();
    }

    void one_title_and_three_rows() {
        std::vector<kp28::DescriptionRecord> r = {kp28::TitleRecord{"Title"},
                                                  kp28::EnumRecord{"E", 1, 0, {"a", "b"}},
                                                  kp28::RangeRecord{'M', "R", 1, 1, 0, 12, 0},
                                                  kp28::StringRecord{"S", 4, 2}, kp28::EndRecord{}};
        model.build_from_description(kp28::format_description(r));
        QCOMPARE(view->element(Family::MainTitle, 0)[0]->y(), 0);
        QCOMPARE(view->element(Family::Enum, 0)[0]->y(), px(500));
        QCOMPARE(view->element(Family::MinMax, 0)[0]->y(), px(1000));
        QCOMPARE(view->element(Family::String, 0)[0]->y(), px(1500));
        QCOMPARE(view->picture1()->height(), px(2000));
        auto* slider = qobject_cast<QScrollBar*>(view->element(Family::MinMax, 0)[0]);
        QCOMPARE(slider->pageStep(), 2);  // 12 / 5 rounded
        QCOMPARE(slider->maximum(), 12);
    }

    void family_geometry_data() {
        QTest::addColumn<int>("family");
        QTest::addColumn<int>("part");
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("cmb_Enum") << int(Family::Enum) << 0 << 2880 << 2955 << 0;
        QTest::newRow("hsr_MinMax") << int(Family::MinMax) << 0 << 2820 << 2985 << 375;
        QTest::newRow("txt_string") << int(Family::String) << 0 << 2880 << 3615 << 375;
        QTest::newRow("txt_IP1") << int(Family::IP) << 0 << 2880 << 495 << 375;
        QTest::newRow("txt_IP2") << int(Family::IP) << 1 << 3720 << 495 << 375;
        QTest::newRow("txt_IP3") << int(Family::IP) << 2 << 4560 << 495 << 375;
        QTest::newRow("txt_IP4") << int(Family::IP) << 3 << 5400 << 495 << 375;
    }
    void family_geometry() {
        QFETCH(int, family);
        QFETCH(int, part);
        QFETCH(int, left);
        QFETCH(int, width);
        QFETCH(int, height);
        model.build_from_description(description(3));
        for (int i = 0; i < 3; ++i) {
            QWidget* w = view->element(Family(family), i)[part];
            QCOMPARE(w->x(), px(left));
            QCOMPARE(w->width(), px(width));
            if (height) QCOMPARE(w->height(), px(height));
            QVERIFY(w->isVisibleTo(view->picture1()));
        }
        auto* ip = qobject_cast<QLineEdit*>(view->element(Family::IP, 0)[0]);
        QCOMPARE(ip->maxLength(), 3);
        auto* title = view->element(Family::ItemTitle, 0)[0];
        QVERIFY(title->font().bold());
        QCOMPARE(title->font().pointSize(), 12);
    }

    void second_build_with_fewer_rows_hides_and_creates_nothing() {
        model.build_from_description(description(6));
        const int rows_first = visible_widgets(view->picture1());
        const int widgets = int(view->picture1()->children().size());
        std::array<int, kp28setup::kFamilyCount> per_family{};
        for (Family f : kp28setup::kFamilies) per_family[int(f)] = view->widget_count(f);

        model.build_from_description(description(2));
        QCOMPARE(int(view->picture1()->children().size()), widgets);
        for (Family f : kp28setup::kFamilies) QCOMPARE(view->widget_count(f), per_family[int(f)]);
        // 1 title + 2 x (4 labels + combo + slider + value label + text + 4 octets)
        const int expected = 1 + 2 * (4 + 1 + 2 + 1 + 4);
        QCOMPARE(visible_widgets(view->picture1()), expected);
        QVERIFY(rows_first > expected);
        for (int i = 2; i < 6; ++i)
            for (QWidget* w : view->element(Family::Enum, i))
                QVERIFY(!w->isVisibleTo(view->picture1()));

        // The same description again needs no widget either.
        model.build_from_description(description(6));
        QCOMPARE(int(view->picture1()->children().size()), widgets);
        QCOMPARE(visible_widgets(view->picture1()), rows_first);
    }

    void scrolling_moves_the_content_by_its_overhang() {
        model.build_from_description(description(10));
        const int row_top = int(model.RowTop());
        QVERIFY(row_top > 7100);
        view->vscroll1()->setValue(view->vscroll1()->maximum());
        QCOMPARE(view->picture1()->y(), px(-(row_top - 7100)));
        view->vscroll1()->setValue(0);
        QCOMPARE(view->picture1()->y(), 0);
    }

    void edits_from_widgets_reach_the_model() {
        model.build_from_description(description(1));
        auto* combo = qobject_cast<QComboBox*>(view->element(Family::Enum, 0)[0]);
        combo->setCurrentIndex(2);
        emit combo->activated(2);
        QCOMPARE(int(model.image()[0]), 2);
        auto* octet = qobject_cast<QLineEdit*>(view->element(Family::IP, 0)[1]);
        octet->setFocus();
        octet->selectAll();
        QTest::keyClicks(octet, "42");
        QCOMPARE(int(model.image()[11]), 42);
        auto* slider = qobject_cast<QScrollBar*>(view->element(Family::MinMax, 0)[0]);
        slider->setFocus();
        slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(int(model.image()[1]), slider->value());
        auto* value = qobject_cast<QLabel*>(view->element(Family::MinMax, 0)[1]);
        QCOMPARE(value->text(), QString::number(slider->value()));
    }

    void edited_rows_are_marked_until_a_write_or_a_new_read() {
        model.build_from_description(description(1));
        auto* mode = qobject_cast<QLabel*>(view->element(Family::ItemTitle, 0)[0]);
        auto* name = qobject_cast<QLabel*>(view->element(Family::ItemTitle, 2)[0]);
        auto* combo = qobject_cast<QComboBox*>(view->element(Family::Enum, 0)[0]);
        auto marked = [](QLabel* l) { return l->font().italic() && !l->toolTip().isEmpty(); };
        QVERIFY(!marked(mode) && !marked(name));

        combo->setCurrentIndex(2);
        emit combo->activated(2);
        QVERIFY(marked(mode));
        QCOMPARE(mode->toolTip(), QString("Read: off"));
        QVERIFY(mode->font().bold());  // the design font stays, italic added
        QVERIFY(!marked(name));
        QCOMPARE(model.baseline_row_value(0), std::string("off"));
        // Back to the value read: no longer edited.
        combo->setCurrentIndex(0);
        emit combo->activated(0);
        QVERIFY(!marked(mode));

        auto* text = qobject_cast<QLineEdit*>(view->element(Family::String, 0)[0]);
        text->setFocus();
        QTest::keyClicks(text, "AB");
        QVERIFY(marked(name));
        QVERIFY(model.row_edited(2));
        // A confirmed write makes the edited image the printer's.
        model.set_baseline();
        QVERIFY(!marked(name) && !model.row_edited(2));
        QVERIFY(name->toolTip().isEmpty());

        QTest::keyClicks(text, "C");
        QVERIFY(marked(name));
        QCOMPARE(name->toolTip(), QString("Read: AB"));
        // A new read builds again: nothing is edited.
        model.build_from_description(description(1));
        QVERIFY(!marked(name));
    }
};

QTEST_MAIN(GuiEditor)
#include "gui_editor_test.moc"
