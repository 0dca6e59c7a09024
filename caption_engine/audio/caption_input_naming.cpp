#include "caption_engine/audio/caption_input_naming.h"

#include "caption_engine/logic/caption_text.h"

namespace quorvel {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::optional<CaptionHostFamily> familyOf(std::string_view s) {
  if (startsWith(s, "iPhone") || startsWith(s, "iPod")) return CaptionHostFamily::iPhone;
  if (startsWith(s, "iPad")) return CaptionHostFamily::iPad;
  if (startsWith(s, "Mac")) return CaptionHostFamily::mac;
  return std::nullopt;
}

}  // namespace

std::string_view rawValue(CaptionHostFamily family) {
  switch (family) {
    case CaptionHostFamily::iPad:
      return "iPad";
    case CaptionHostFamily::iPhone:
      return "iPhone";
    case CaptionHostFamily::mac:
      return "mac";
  }
  return "mac";
}

std::optional<CaptionHostFamily> captionHostFamilyFromRaw(std::string_view raw) {
  for (auto f : {CaptionHostFamily::iPad, CaptionHostFamily::iPhone, CaptionHostFamily::mac}) {
    if (rawValue(f) == raw) return f;
  }
  return std::nullopt;
}

std::string_view word(CaptionHostFamily family) {
  switch (family) {
    case CaptionHostFamily::iPad:
      return "iPad";
    case CaptionHostFamily::iPhone:
      return "iPhone";
    case CaptionHostFamily::mac:
      return "Mac";
  }
  return "Mac";
}

CaptionHostFamily CaptionHostFamilies::from(std::string_view machine,
                                            std::optional<std::string_view> simulatorModel) {
  if (auto f = familyOf(simulatorModel.value_or(""))) return *f;
  if (auto f = familyOf(machine)) return *f;
  return CaptionHostFamily::iPad;
}

bool CaptionInputNaming::isGeneric(std::string_view name, CaptionAudioInputKind kind) {
  const std::string n = CaptionText::lowercased(name);
  if (n.empty()) return true;
  switch (kind) {
    case CaptionAudioInputKind::bluetooth:
      return n == "bluetooth" || startsWith(n, "bluetooth hfp");
    case CaptionAudioInputKind::usb:
      return startsWith(n, "usb audio") || n == "usb" || n == "usb microphone";
    default:
      return false;
  }
}

std::string CaptionInputNaming::label(CaptionAudioInputKind kind, std::string_view portName,
                                      CaptionHostFamily family) {
  const std::string name = CaptionText::trimmed(portName);
  switch (kind) {
    case CaptionAudioInputKind::builtIn:
      return std::string(word(family)) + " microphone";
    case CaptionAudioInputKind::usb:
      return isGeneric(name, kind) ? "USB audio interface" : "USB audio interface (" + name + ")";
    case CaptionAudioInputKind::headset:
      return "Headset microphone";
    case CaptionAudioInputKind::bluetooth:
      return isGeneric(name, kind) ? "Bluetooth headset" : "Bluetooth headset (" + name + ")";
    case CaptionAudioInputKind::lineIn:
      return "Line in";
    case CaptionAudioInputKind::other:
      return name.empty() ? "Microphone" : name;
  }
  return name;
}

std::optional<std::string> CaptionInputNaming::note(CaptionAudioInputKind kind) {
  if (kind == CaptionAudioInputKind::bluetooth) return std::string(lowerQuality);
  return std::nullopt;
}

bool CaptionAudioSessionPlan::usesMeasurementMode(CaptionAudioInputKind kind) {
  return kind == CaptionAudioInputKind::usb || kind == CaptionAudioInputKind::lineIn;
}

}  // namespace quorvel
