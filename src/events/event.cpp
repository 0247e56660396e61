#include "src/events/event.hpp"

namespace vintra {

std::string_view json_name(Severity v) {
  switch (v) {
    case Severity::kLow: return "low";
    case Severity::kMedium: return "medium";
    case Severity::kHigh: return "high";
    case Severity::kCritical: return "critical";
  }
  return "low";
}

std::string_view json_name(Channel v) {
  switch (v) {
    case Channel::kRemovableUsb: return "removable_usb";
    case Channel::kCloudSync: return "cloud_sync";
    case Channel::kNetworkShare: return "network_share";
    case Channel::kNetworkUpload: return "network_upload";
    case Channel::kDnsLatencyProbe: return "dns_latency_probe";
    case Channel::kClipboard: return "clipboard";
    case Channel::kPrint: return "print";
  }
  return "removable_usb";
}

std::string_view json_name(Direction v) {
  switch (v) {
    case Direction::kOutbound: return "outbound";
    case Direction::kInbound: return "inbound";
  }
  return "outbound";
}

std::string_view json_name(Decision v) {
  switch (v) {
    case Decision::kPending: return "pending";
    case Decision::kAllowed: return "allowed";
    case Decision::kDenied: return "denied";
    case Decision::kExpired: return "expired";
  }
  return "pending";
}

std::string_view log_name(Severity v) {
  switch (v) {
    case Severity::kLow: return "Low";
    case Severity::kMedium: return "Medium";
    case Severity::kHigh: return "High";
    case Severity::kCritical: return "Critical";
  }
  return "Low";
}

std::string_view log_name(Channel v) {
  switch (v) {
    case Channel::kRemovableUsb: return "RemovableUsb";
    case Channel::kCloudSync: return "CloudSync";
    case Channel::kNetworkShare: return "NetworkShare";
    case Channel::kNetworkUpload: return "NetworkUpload";
    case Channel::kDnsLatencyProbe: return "DnsLatencyProbe";
    case Channel::kClipboard: return "Clipboard";
    case Channel::kPrint: return "Print";
  }
  return "RemovableUsb";
}

std::string_view log_name(Direction v) {
  switch (v) {
    case Direction::kOutbound: return "Outbound";
    case Direction::kInbound: return "Inbound";
  }
  return "Outbound";
}

std::string_view log_name(Decision v) {
  switch (v) {
    case Decision::kPending: return "Pending";
    case Decision::kAllowed: return "Allowed";
    case Decision::kDenied: return "Denied";
    case Decision::kExpired: return "Expired";
  }
  return "Pending";
}

}  // namespace vintra
