// The window's editor for 1001 parameter rows (enumerations, ranges, strings
// and IP addresses in turn, with a title every 50 rows): the first build,
// which creates every widget, and a second build of the same description,
// which must create none. Runs under the offscreen platform unless
// QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>
#include <kp28/protocol/description.h>
#include <kp28setup/editor.h>

#include <QApplication>
#include <memory>

#include "editor_view.h"

namespace {

constexpr int kRows = 1001;

std::string big_description() {
    std::vector<kp28::DescriptionRecord> r;
    for (int i = 0; i < kRows; ++i) {
        if (i % 50 == 0) r.push_back(kp28::TitleRecord{"Group " + std::to_string(i / 50)});
        const auto off = static_cast<std::int16_t>((i * 7) % 2000);
        const std::string label = "Parameter " + std::to_string(i);
        switch (i % 4) {
            case 0:
                r.push_back(kp28::EnumRecord{label, 1, off, {"off", "on", "auto", "test"}});
                break;
            case 1:
                r.push_back(kp28::RangeRecord{'M', label, 1, off, 0, 200, 0});
                break;
            case 2:
                r.push_back(kp28::StringRecord{label, 16, off});
                break;
            default:
                r.push_back(kp28::IpRecord{label, 4, off});
                break;
        }
    }
    r.push_back(kp28::EndRecord{});
    return kp28::format_description(r);
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

}  // namespace

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
