#include "platform/pulse/source_query.h"

#include <optional>
#include <utility>

namespace talvora::platform::pulse {
namespace {

constexpr const char* kDefaultSource = "@DEFAULT_SOURCE@";
constexpr const char* kAskFailed = "Cannot ask the sound server for its microphone";

struct Query {
  Connection* connection = nullptr;
  std::optional<SourceInfo> info;
  int error = 0;
  bool done = false;
};

// Loop thread.
void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* user) {
  auto* query = static_cast<Query*>(user);
  if (eol < 0) {
    query->error = pa_context_errno(context);
    query->done = true;
  } else if (eol > 0) {
    query->done = true;
  } else if (info && !query->info) {
    query->info = SourceInfo{info->name ? info->name : "", info->sample_spec, info->channel_map};
  }
  query->connection->signal();
}

bool usable(const pa_sample_spec& spec) {
  return spec.rate > 0 && spec.channels > 0 && spec.channels <= PA_CHANNELS_MAX;
}

}  // namespace

Result<SourceInfo> queryDefaultSource(Connection& connection) {
  pa_context* context = connection.context();
  Query query;
  query.connection = &connection;
  pa_operation* operation = pa_context_get_source_info_by_name(context, kDefaultSource, &onSourceInfo, &query);
  if (!operation) return Error{describe(kAskFailed, pa_context_errno(context))};
  const bool answered = connection.waitLocked([&query, context] {
    return query.done || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
  });
  // Cancelled, the operation calls us no more: `query` may go.
  if (!query.done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!answered) return Error{describe(kAskFailed, PA_ERR_TIMEOUT)};
  if (!query.done) return Error{describe(kAskFailed, pa_context_errno(context))};
  if (!query.info || query.error != 0) {
    return Error{describe("The sound server has no default microphone", query.error != 0 ? query.error : PA_ERR_NOENTITY)};
  }
  if (!usable(query.info->spec)) return Error{"The default microphone reports no sample rate"};
  return std::move(*query.info);
}

}  // namespace talvora::platform::pulse
