// The routes the service answers, in one list: the dispatcher, the metrics
// labels and the OpenAPI description all read it, so they cannot disagree.
#pragma once

#include <array>
#include <string_view>

namespace grouper::serve {

enum class Route { kPage, kPageScript, kPageStyle, kIcon, kGroup, kExplain, kTables, kVersion, kHealthz, kReadyz, kMetrics,
                   kOpenapi, kReload, kOther };
inline constexpr size_t kRouteCount = static_cast<size_t>(Route::kOther) + 1;

struct RouteInfo {
  Route route;
  std::string_view method;
  std::string_view path;
  std::string_view summary;
  bool needs_token;  // when the service has a token
};

inline constexpr std::array<RouteInfo, kRouteCount - 1> kRoutes{{
    {Route::kPage, "GET", "/", "The single-case page", true},
    {Route::kPageScript, "GET", "/page.js", "The script of the single-case page", true},
    {Route::kPageStyle, "GET", "/page.css", "The style of the single-case page", true},
    {Route::kIcon, "GET", "/favicon.ico", "The icon of the single-case page", true},
    {Route::kGroup, "POST", "/v1/group", "Group episode lines", true},
    {Route::kExplain, "POST", "/v1/explain", "Explain the grouping of one record", true},
    {Route::kTables, "GET", "/v1/tables", "The loaded table sets", true},
    {Route::kVersion, "GET", "/v1/version", "The version of the grouper", false},
    {Route::kHealthz, "GET", "/healthz", "The process is alive", false},
    {Route::kReadyz, "GET", "/readyz", "Table sets are loaded and requests are taken", false},
    {Route::kMetrics, "GET", "/metrics", "Metrics in the Prometheus text format", true},
    {Route::kOpenapi, "GET", "/openapi.json", "This description", true},
    {Route::kReload, "POST", "/v1/admin/reload", "Load every table set again", true},
}};

// The route of a path, whatever the method; kOther when none has it.
inline Route route_of(std::string_view path) {
  for (const RouteInfo& r : kRoutes) {
    if (r.path == path) return r.route;
  }
  return Route::kOther;
}

inline const RouteInfo* route_info(Route route) {
  for (const RouteInfo& r : kRoutes) {
    if (r.route == route) return &r;
  }
  return nullptr;
}

// The label of a route in the log and the metrics: its path, or "other".
inline std::string_view route_label(Route route) {
  const RouteInfo* info = route_info(route);
  return info ? info->path : std::string_view("other");
}

}  // namespace grouper::serve
