#include "platform/pulse/source_query.h"

#include <optional>
#include <string>
#include <utility>

namespace talvora::platform::pulse {
namespace {

constexpr const char* kDefaultSource = "@DEFAULT_SOURCE@";
constexpr const char* kAskFailed = "Cannot ask the sound server for its microphone";

// One introspection request and its first answer (`Info`: what is kept of it).
template <typename Info>
struct Query {
  Connection* connection = nullptr;
  std::optional<Info> info;
  int error = 0;
  bool done = false;
};

// Loop thread. `keep` turns the server's record into what the query keeps.
template <typename Info, typename Record, Info (*keep)(const Record&)>
void onInfo(pa_context* context, const Record* info, int eol, void* user) {
  auto* query = static_cast<Query<Info>*>(user);
  if (eol < 0) {
    query->error = pa_context_errno(context);
    query->done = true;
  } else if (eol > 0) {
    query->done = true;
  } else if (info && !query->info) {
    query->info = keep(*info);
  }
  query->connection->signal();
}

SourceInfo keepSource(const pa_source_info& info) {
  return SourceInfo{info.name ? info.name : "", info.sample_spec, info.channel_map};
}
// "auto_null" is the stand-in sink both servers make when there is no output device
// (PipeWire's "Dummy Output"): nothing reaches a room from it, so it has no far end to
// offer. Recording its monitor also set PipeWire's graph clock running in a way that
// stalled a pipe source beside it.
std::string keepMonitor(const pa_sink_info& info) {
  if (!info.monitor_source_name || (info.name && std::string(info.name) == "auto_null")) return "";
  return info.monitor_source_name;
}

// Waits for the answer to `operation` (null: it could not be sent). The server's error
// code on failure, 0 once answered.
template <typename Info>
int await(Connection& connection, pa_operation* operation, Query<Info>& query) {
  pa_context* context = connection.context();
  if (!operation) return pa_context_errno(context);
  const bool answered = connection.waitLocked([&query, context] {
    return query.done || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
  });
  // Cancelled, the operation calls us no more: `query` may go.
  if (!query.done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!answered) return PA_ERR_TIMEOUT;
  return query.done ? 0 : pa_context_errno(context);
}

bool usable(const pa_sample_spec& spec) {
  return spec.rate > 0 && spec.channels > 0 && spec.channels <= PA_CHANNELS_MAX;
}

}  // namespace

Result<SourceInfo> querySource(Connection& connection, const char* name) {
  Query<SourceInfo> query;
  query.connection = &connection;
  pa_operation* operation = pa_context_get_source_info_by_name(
      connection.context(), name ? name : kDefaultSource, &onInfo<SourceInfo, pa_source_info, keepSource>, &query);
  if (int failed = await(connection, operation, query)) return Error{describe(kAskFailed, failed)};
  const std::string which = name ? "microphone \"" + std::string(name) + "\"" : "default microphone";
  if (!query.info || query.error != 0) {
    return Error{describe(("The sound server has no " + which).c_str(), query.error != 0 ? query.error : PA_ERR_NOENTITY)};
  }
  if (!usable(query.info->spec)) return Error{"The " + which + " reports no sample rate"};
  return std::move(*query.info);
}

std::optional<std::string> queryDefaultSinkMonitor(Connection& connection) {
  Query<std::string> query;
  query.connection = &connection;
  pa_operation* operation = pa_context_get_sink_info_by_name(
      connection.context(), "@DEFAULT_SINK@", &onInfo<std::string, pa_sink_info, keepMonitor>, &query);
  if (await(connection, operation, query) != 0 || query.error != 0 || !query.info || query.info->empty()) {
    return std::nullopt;
  }
  return std::move(*query.info);
}

}  // namespace talvora::platform::pulse
