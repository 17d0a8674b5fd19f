// Parse and write throughput of the module's JSON layer next to RapidJSON, measured in
// the same run on generated documents; prints the ratios at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "json_text/json_text.hpp"

namespace json = tolva::json;

namespace {

std::string random_word(std::mt19937_64& rng, int min_len, int max_len, bool fancy) {
    static const char* pieces[] = {"a", "b", "c", "d", "e", "x", "y", "z", " ", "_", "0", "9"};
    static const char* fancy_pieces[] = {"\\\"", "\\n", "\\u00e9", "\xc3\xa9", "\\/", "\xe2\x82\xac", "\\t"};
    std::uniform_int_distribution<int> len(min_len, max_len);
    std::string s;
    int n = len(rng);
    for (int i = 0; i < n; ++i) {
        if (fancy && rng() % 8 == 0) s += fancy_pieces[rng() % 7];
        else s += pieces[rng() % 12];
    }
    return s;
}

std::string mixed_document(std::size_t target) {
    std::mt19937_64 rng(1);
    std::string out = "[";
    while (out.size() < target) {
        if (out.size() > 1) out += ",";
        out += "{\"id\":" + std::to_string(rng() % 1000000) + ",\"name\":\"" + random_word(rng, 4, 16, false) +
               "\",\"score\":" + std::to_string(static_cast<double>(rng() % 100000) / 97.0) +
               ",\"active\":" + (rng() % 2 ? "true" : "false") + ",\"tags\":[\"" + random_word(rng, 2, 8, false) +
               "\",\"" + random_word(rng, 2, 8, true) + "\"],\"parent\":null,\"nested\":{\"z\":" +
               std::to_string(static_cast<long long>(rng() % 2000) - 1000) + ",\"a\":[1,2,3]}}";
    }
    return out + "]";
}

std::string float_document(std::size_t target) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> uniform(-1e6, 1e6);
    std::string out = "[";
    char buf[32];
    while (out.size() < target) {
        if (out.size() > 1) out += ",";
        std::snprintf(buf, sizeof buf, "%.17g", uniform(rng));
        out += buf;
    }
    return out + "]";
}

std::string string_document(std::size_t target) {
    std::mt19937_64 rng(3);
    std::string out = "[";
    while (out.size() < target) {
        if (out.size() > 1) out += ",";
        out += "\"" + random_word(rng, 8, 64, true) + "\"";
    }
    return out + "]";
}

// The small documents the module really sees: an asset's metadata as json.dumps
// writes it, and one partition dimension of 1,000 mixed values.
std::string metadata_document() {
    return R"({"kind": "asset", "name": "daily prices", "serializer": null, "inputs": {"rows": )"
           R"("/home/user/project/pipeline/assets.py:raw_prices", "calendar": "/home/user/project/pipeline/)"
           R"(calendar.py:trading_days"}, "partitions": {"ticker": {"kind": "inline", "values_json": )"
           R"("[\"AAPL\",\"MSFT\",\"GOOG\"]"}, "day": {"kind": "inline", "values_json": "[1,2,3,4,5]"}}, )"
           R"("owner": "data-team", "retries": 3, "timeout": 12.5, "tags": ["finance", "daily", "\u00e9t\u00e9"], )"
           R"("enabled": true, "version": 7})";
}

std::string partitions_document() {
    std::mt19937_64 rng(4);
    std::string out = "[";
    for (int i = 0; i < 1000; ++i) {
        if (i) out += ", ";
        switch (i % 5) {
            case 0: out += "\"" + random_word(rng, 3, 12, false) + "\""; break;
            case 1: out += std::to_string(rng() % 100000); break;
            case 2: out += std::to_string(static_cast<double>(rng() % 100000) / 7.0); break;
            case 3: out += "{\"region\": \"" + random_word(rng, 2, 6, false) + "\", \"id\": " + std::to_string(i) + "}"; break;
            default: out += i % 2 ? "true" : "null";
        }
    }
    return out + "]";
}

const std::map<std::string, std::string>& documents() {
    static const std::map<std::string, std::string> docs = {
        {"mixed", mixed_document(1 << 20)},
        {"floats", float_document(1 << 20)},
        {"strings", string_document(1 << 20)},
        {"metadata", metadata_document()},
        {"partitions", partitions_document()},
    };
    return docs;
}

void TolvaParse(benchmark::State& state, const std::string& name) {
    const std::string& doc = documents().at(name);
    for (auto _ : state) {
        json::ParseResult result = json::parse(doc);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void RapidParse(benchmark::State& state, const std::string& name) {
    const std::string& doc = documents().at(name);
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse<rapidjson::kParseFullPrecisionFlag>(doc.data(), doc.size());
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void TolvaWrite(benchmark::State& state, const std::string& name) {
    const std::string& doc = documents().at(name);
    json::Value value = std::get<json::Value>(json::parse(doc));
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = json::write(value);
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void RapidWrite(benchmark::State& state, const std::string& name) {
    const std::string& doc = documents().at(name);
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(doc.data(), doc.size());
    std::size_t bytes = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        bytes = buffer.GetSize();
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Keeps each run's throughput so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rates;
    void ReportRuns(const std::vector<Run>& runs) override {
        // The median of the repetitions: this machine's speed varies between runs.
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.aggregate_name == "median") rates[run.run_name.str()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    // --write-documents DIR: the documents as files, for the CPython comparison.
    if (argc == 3 && std::string(argv[1]) == "--write-documents") {
        for (const auto& [name, doc] : documents()) {
            std::FILE* f = std::fopen((std::string(argv[2]) + "/" + name + ".json").c_str(), "wb");
            if (!f) return 1;
            std::fwrite(doc.data(), 1, doc.size(), f);
            std::fclose(f);
        }
        return 0;
    }
    for (const auto& [name, doc] : documents()) {
        benchmark::RegisterBenchmark(("parse/tolva/" + name).c_str(), TolvaParse, name);
        benchmark::RegisterBenchmark(("parse/rapidjson/" + name).c_str(), RapidParse, name);
        benchmark::RegisterBenchmark(("write/tolva/" + name).c_str(), TolvaWrite, name);
        benchmark::RegisterBenchmark(("write/rapidjson/" + name).c_str(), RapidWrite, name);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nthroughput ratio tolva / RapidJSON (>= 1.00 meets the target)\n");
    for (const char* op : {"parse", "write"}) {
        for (const auto& [name, doc] : documents()) {
            double ours = reporter.rates[std::string(op) + "/tolva/" + name];
            double theirs = reporter.rates[std::string(op) + "/rapidjson/" + name];
            if (theirs > 0) {
                std::printf("  %-5s %-10s %7.1f MB/s vs %7.1f MB/s  ratio %.2f\n", op, name.c_str(), ours / 1e6,
                            theirs / 1e6, ours / theirs);
            }
        }
    }
    benchmark::Shutdown();
    return 0;
}
