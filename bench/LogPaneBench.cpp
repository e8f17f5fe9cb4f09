// The log pane: the cost of one append (a progress mark, and a whole line) as the log grows.
// An append must cost in proportion to the appended text, not to the log's length: the
// figures stay flat from an empty pane to a log of several megabytes.

#include "app/ZEdit.h"

#include <QApplication>
#include <benchmark/benchmark.h>

namespace {

void Grow(ZEdit& pane, int nChars) {
    const QString strLine = QString(98, u'.') + QStringLiteral("\r\n");
    for (int n = 0; n < nChars; n += static_cast<int>(strLine.size()))
        pane.AppendText(strLine);
}

void BM_AppendMark(benchmark::State& state) {
    ZEdit pane(Qt::black, Qt::white);
    pane.resize(600, 300);
    Grow(pane, static_cast<int>(state.range(0)));
    int nMarks = 0;
    for (auto _ : state) {
        // Marks fill lines of 100, as the records do, then a new line opens.
        pane.AppendText(++nMarks % 100 == 0 ? QStringLiteral(".\r\n+ ") : QStringLiteral("."));
    }
    state.counters["log_chars"] = static_cast<double>(pane.Text().size());
}
BENCHMARK(BM_AppendMark)->Arg(0)->Arg(1 << 16)->Arg(1 << 20)->Arg(4 << 20);

void BM_AppendLine(benchmark::State& state) {
    ZEdit pane(Qt::black, Qt::white);
    pane.resize(600, 300);
    Grow(pane, static_cast<int>(state.range(0)));
    for (auto _ : state)
        pane.AppendText(QStringLiteral("Uploading firmware - part 4 of 5...\r\n"));
}
BENCHMARK(BM_AppendLine)->Arg(0)->Arg(1 << 16)->Arg(1 << 20)->Arg(4 << 20);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
