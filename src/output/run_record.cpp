#include "output/run_record.h"

#include <cmath>
#include <cstdio>

#include "output/number_text.h"

namespace vdsim {

namespace {

// A JSON string: quotes, backslashes and control bytes escaped; a byte that
// is not ASCII is taken as a Latin-1 character, so the text stays valid
// UTF-8 whatever bytes a path holds.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(c));
      out += escape;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

// A number as JSON has it, the shortest text that reads back as the same
// double; non-finite values become null.
std::string jsonNumber(double value) {
  if (value != value || value - value != 0.0) return "null";
  return shortestText(value);
}

// A float as the shortest decimal that reads back as the same float, in
// plain notation where one exists within 9 digits (0.001f is "0.001", not
// "0.00100000005"; 20 is "20", not "2e+01").
std::string jsonFloat(float value) {
  if (value != value || value - value != 0.0f) return "null";
  return shortestText(value);
}

// A metric as the shortest decimal that reads back as the same double (or
// float, for a float of the state); null when it has no value.
std::string jsonMetric(const Metric& metric) {
  const double value = metric.value;
  if (value != value || value - value != 0.0) return "null";
  return metric.single ? shortestText(float(value)) : shortestText(value);
}

// ",\n     \"metrics\": {...},\n     \"null_reasons\": {...}" of one event.
std::string jsonMetrics(const EventMetrics& m) {
  if (!m.ran) {
    return ",\n     \"metrics\": null,\n     \"null_reasons\": {\"metrics\": "
           "\"the run ended before the event began\"}";
  }
  std::string values, reasons;
  for (const Metric& metric : m.values) {
    const std::string key = jsonString(metric.key) + ": ";
    values += (values.empty() ? "" : ", ") + key + jsonMetric(metric);
    if (metric.reason) reasons += (reasons.empty() ? "" : ", ") + key + jsonString(metric.reason);
  }
  return ",\n     \"metrics\": {" + values + "},\n     \"null_reasons\": {" + reasons + "}";
}

std::string jsonFiles(const std::vector<RunRecord::File>& files) {
  std::string out = "[";
  for (std::size_t i = 0; i < files.size(); ++i) {
    out += i ? ",\n    " : "\n    ";
    out += "{\"file\": " + jsonString(files[i].name) + ", \"sha256\": " +
           (files[i].sha256.empty() ? "null" : jsonString(files[i].sha256)) + "}";
  }
  return out + (files.empty() ? "]" : "\n  ]");
}

std::string jsonEvent(const EventEntry& event, const EventMetrics* metrics) {
  const std::string head = "{\"number\": " + std::to_string(event.number) + ", \"kind\": ";
  const std::string line = ", \"line\": " + std::to_string(event.line);
  if (event.ignored) return head + jsonString(event.keyword) + line + ", \"ignored\": true}";
  const EventKindInfo& info = eventKindInfo(event.kind);
  std::string out = head + jsonString(eventKindName(event.kind)) + line;
  for (int i = 0; i < event.valueCount; ++i) {
    out += ", \"" + std::string(info.values[i].jsonName) + "\": " + jsonFloat(event.values[i]);
  }
  if (metrics) out += jsonMetrics(*metrics);
  return out + "}";
}

}  // namespace

std::string formatRunRecord(const RunRecord& r) {
  std::string out = "{\n";
  // Room for the events: about 160 bytes of values each, up to 2 kB with metrics.
  out.reserve(4096 + r.events.size() * (r.metrics ? 2048 : 160));
  auto field = [&](const char* name, const std::string& json) {
    out += "  \"";
    out += name;
    out += "\": ";
    out += json;
    out += ",\n";
  };
  field("vdsim_version", jsonString(r.version));
  field("scenario_dir", jsonString(r.scenarioDir));
  field("car", jsonString(r.car));
  field("time_step_s", jsonFloat(r.timeStep));
  field("inputs", jsonFiles(r.inputs));
  // The events, each with its metrics: appended in place, as they may run to
  // many megabytes.
  out += "  \"events\": [";
  std::size_t measured = 0;  // metrics and events are both in number order
  for (std::size_t i = 0; i < r.events.size(); ++i) {
    const EventEntry& e = r.events[i];
    const EventMetrics* metrics = nullptr;
    if (r.metrics && !e.ignored && measured < r.metrics->size() &&
        (*r.metrics)[measured].number == e.number) {
      metrics = &(*r.metrics)[measured++];
    }
    out += i ? ",\n    " : "\n    ";
    out += jsonEvent(e, metrics);
  }
  out += r.events.empty() ? "],\n" : "\n  ],\n";
  field("exit_status", std::to_string(r.exitStatus));
  field("end", jsonString(r.end));
  field("message", jsonString(r.message));
  field("simulated_time_s", jsonNumber(r.simulatedTime));
  field("steps", std::to_string(r.steps));
  field("singular_steps", std::to_string(r.singularSteps));
  field("rows", std::to_string(r.rows));
  field("wall_time_s", jsonNumber(std::round(r.wallTime * 1000.0) / 1000.0));
  out += "  \"outputs\": " + jsonFiles(r.outputs) + "\n}\n";
  return out;
}

}  // namespace vdsim
