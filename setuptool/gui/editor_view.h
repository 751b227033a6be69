// The parameter editor as widgets: the viewport Picture2 with its scroll bar
// VScroll1 and the content panel Picture1, and inside it one Qt widget per
// element of each control family of the editor model. Elements are created
// when the model creates them, hidden and reused, never destroyed. Values set
// from the model never call back into it; only what the operator does is
// sent to the model's change handlers, with the element's index.
#pragma once

#include <kp28setup/editor.h>

#include <QObject>
#include <array>
#include <functional>
#include <optional>
#include <vector>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QScrollBar;
class QWidget;

namespace kp28gui {

class SessionWorker;

class EditorView : public QObject, public kp28setup::EditorObserver {
  public:
    using Edit = std::function<void(kp28setup::Editor&)>;

    // Builds Picture2, VScroll1, Picture1 and element 0 of every family on
    // the window's thread.
    explicit EditorView(QWidget* client);
    ~EditorView() override;

    // The model the session builds: notifications queue through the worker
    // to the window's thread, edits queue to the session's thread.
    kp28setup::Editor* model() { return &model_; }
    void attach(SessionWorker& worker);
    // For a model on the window's own thread (the benchmark): notifications
    // apply at once and edits run at once.
    void attach_direct(kp28setup::Editor& model);
    void set_busy(bool busy);

    // --- what the window holds ---
    QFrame* picture2() const { return picture2_; }
    QScrollBar* vscroll1() const { return vscroll1_; }
    QWidget* picture1() const { return picture1_; }
    // Widgets of element `index` of a family (MinMax: slider, value label; IP: the four boxes).
    std::vector<QWidget*> element(kp28setup::Family f, int index) const;
    int widget_count(kp28setup::Family f) const;
    int rows_built() const { return rows_built_; }
    int builds_finished() const { return builds_; }

    // --- notifications, on the window's thread ---
    void created(kp28setup::Family f, int index);
    void changed(kp28setup::Family f, int index, unsigned aspects,
                 const kp28setup::ElementState& s);
    void content(const kp28setup::ContentState& c);
    void started();
    void finished(int rows);
    // Applies the element changes collected during a build.
    void flush();

  private:
    // EditorObserver, on the model's thread.
    void element_created(kp28setup::Family f, int index) override;
    void element_changed(kp28setup::Family f, int index, unsigned aspects,
                         const kp28setup::ElementState& state) override;
    void content_changed(const kp28setup::ContentState& c) override;
    void build_started() override;
    void build_finished(int rows, const std::vector<std::string>& warnings) override;
    void apply(kp28setup::Family f, int index, unsigned aspects, const kp28setup::ElementState& s);

    void ensure(kp28setup::Family f, int index);
    // The label of an edited row: italic, in another colour, the value read
    // in its tooltip; plain again once the mark clears.
    static void mark_edited(QLabel* l, const kp28setup::ElementState& s);
    void make_element(kp28setup::Family f, int index);
    void edit(Edit e);
    void forward(std::function<void()> f);

    kp28setup::Editor model_;
    SessionWorker* worker_ = nullptr;
    kp28setup::Editor* direct_ = nullptr;

    QFrame* picture2_;
    QScrollBar* vscroll1_;
    QWidget* picture1_;
    // Per family, per element, its widgets.
    std::array<std::vector<std::vector<QWidget*>>, kp28setup::kFamilyCount> widgets_;
    int rows_built_ = 0;
    int builds_ = 0;

    // During a build the model hides every row and shows the new ones; the
    // changes are collected and applied once per pass of the event loop, so
    // that an element hidden and shown again with the same content is left
    // alone, and the editor still grows visibly while it is built.
    bool building_ = false;
    bool flush_queued_ = false;
    std::vector<std::pair<kp28setup::Family, int>> dirty_;
    std::array<std::vector<std::optional<kp28setup::ElementState>>, kp28setup::kFamilyCount>
        pending_;
    // What each element shows now.
    std::array<std::vector<kp28setup::ElementState>, kp28setup::kFamilyCount> shown_;
};

}  // namespace kp28gui
