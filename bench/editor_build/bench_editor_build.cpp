// The window's editor for 1001 parameter rows (enumerations, ranges, strings
// and IP addresses in turn, with a title every 50 rows): the first build,
// which creates every widget, and a second build of the same description,
// which must create none. Runs under the offscreen platform unless
// QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>
#include <kp28setup/editor.h>

#include <QApplication>
#include <QWidget>
#include <memory>

#include "editor_view.h"

namespace {

constexpr int kRows = 1001;

// One description line: the letter, a TAB, then every field with its TAB.
std::string line(char letter, std::initializer_list<std::string> fields) {
    std::string out(1, letter);
    out += '\t';
    for (const auto& f : fields) out += f + '\t';
    return out + "\r\n";
}

std::string big_description() {
    std::string text;
    for (int i = 0; i < kRows; ++i) {
        if (i % 50 == 0) text += line('T', {"Group " + std::to_string(i / 50)});
        const std::string off = std::to_string((i * 7) % 2000);
        const std::string label = "Parameter " + std::to_string(i);
        switch (i % 4) {
            case 0:
                text += line('E', {label, "1", off, "4", "off", "on", "auto", "test"});
                break;
            case 1:
                text += line('M', {label, "1", off, "0", "200", "0"});
                break;
            case 2:
                text += line('S', {label, "16", off});
                break;
            default:
                text += line('I', {label, "4", off});
                break;
        }
    }
    return text + line('Z', {});
}

struct Window {
    QWidget client;
    kp28gui::EditorView view{&client};
    kp28setup::Editor model;
    Window() {
        client.resize(760, 560);
        view.attach_direct(model);
        model.clear_editor();
        client.show();
    }
    int widgets() const { return static_cast<int>(view.picture1()->children().size()); }
};

void BM_FirstBuild(benchmark::State& state) {
    const std::string text = big_description();
    int created = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>();
        const int before = w->widgets();
        state.ResumeTiming();
        w->model.build_from_description(text);
        QApplication::processEvents();
        state.PauseTiming();
        created = w->widgets() - before;
        if (w->view.rows_built() < kRows) state.SkipWithError("rows missing");
        w.reset();
        state.ResumeTiming();
    }
    state.counters["widgets_created"] = created;
}

void BM_SecondBuild(benchmark::State& state) {
    const std::string text = big_description();
    Window w;
    w.model.build_from_description(text);
    const int after_first = w.widgets();
    for (auto _ : state) {
        w.model.build_from_description(text);
        QApplication::processEvents();
    }
    state.counters["widgets_created"] = w.widgets() - after_first;
    if (w.widgets() != after_first) state.SkipWithError("the second build created widgets");
}

// The model alone, without widgets: what the window adds is the rest.
void BM_ModelOnly(benchmark::State& state) {
    const std::string text = big_description();
    kp28setup::Editor model;
    model.clear_editor();
    for (auto _ : state) model.build_from_description(text);
}

}  // namespace

BENCHMARK(BM_ModelOnly)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_FirstBuild)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SecondBuild)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
