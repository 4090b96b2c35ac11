// zuic_bench: softenc and the library side by side with their references.
//
// Benchmarks are named BM_<subject>_<implementation>/<size>, for example
// BM_DES_softenc/4096 and BM_DES_openssl/4096. After the usual console
// output a table gives, for every subject and size, the throughput of the
// project's own implementation ("softenc" or "library") and its ratio to
// each reference measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Measurement {
    std::string subject;
    std::string implementation;
    std::string size;
    double rate; // bytes per second, or operations per second
    bool bytes;
};

bool IsOwn(const std::string& implementation) {
    return implementation == "softenc" || implementation == "library";
}

bool Parse(const std::string& name, Measurement* m) {
    if (name.compare(0, 3, "BM_") != 0)
        return false;
    std::string head = name.substr(3);
    std::string size;
    size_t slash = head.find('/');
    if (slash != std::string::npos) {
        size = head.substr(slash + 1);
        head = head.substr(0, slash);
    }
    size_t underscore = head.rfind('_');
    if (underscore == std::string::npos)
        return false;
    m->subject = head.substr(0, underscore);
    m->implementation = head.substr(underscore + 1);
    m->size = size;
    return true;
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            Measurement m;
            if (!Parse(run.benchmark_name(), &m))
                continue;
            auto bytes = run.counters.find("bytes_per_second");
            if (bytes != run.counters.end()) {
                m.rate = bytes->second.value;
                m.bytes = true;
            } else {
                double seconds =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
                m.rate = seconds > 0 ? 1.0 / seconds : 0;
                m.bytes = false;
            }
            m_measurements.push_back(m);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::map<std::string, std::vector<const Measurement*>> groups;
        std::vector<std::string> order;
        for (const Measurement& m : m_measurements) {
            std::string key = m.subject + "/" + m.size;
            if (groups.find(key) == groups.end())
                order.push_back(key);
            groups[key].push_back(&m);
        }
        std::printf("\n%-28s %-10s %14s %-10s %14s %8s\n", "subject/size", "own", "rate",
                    "reference", "rate", "ratio");
        for (const std::string& key : order) {
            const Measurement* own = nullptr;
            for (const Measurement* m : groups[key])
                if (IsOwn(m->implementation))
                    own = m;
            if (own == nullptr)
                continue;
            for (const Measurement* m : groups[key]) {
                if (m == own)
                    continue;
                std::printf("%-28s %-10s %14s %-10s %14s %7.2fx\n", key.c_str(),
                            own->implementation.c_str(), Format(*own).c_str(),
                            m->implementation.c_str(), Format(*m).c_str(),
                            m->rate > 0 ? own->rate / m->rate : 0.0);
            }
        }
    }

  private:
    static std::string Format(const Measurement& m) {
        char text[32];
        if (m.bytes)
            std::snprintf(text, sizeof text, "%.1f MB/s", m.rate / 1e6);
        else
            std::snprintf(text, sizeof text, "%.0f op/s", m.rate);
        return text;
    }

    std::vector<Measurement> m_measurements;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
