#include "caption_engine/audio/caption_input_naming.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

using K = CaptionAudioInputKind;
using F = CaptionHostFamily;

TEST(CaptionInputNamingTest, Labels) {
  struct Case {
    K kind;
    const char* port;
    F family;
    const char* label;
  };
  const Case cases[] = {
      {K::builtIn, "Anything", F::iPad, "iPad microphone"},
      {K::builtIn, "", F::mac, "Mac microphone"},
      {K::usb, "  ", F::mac, "USB audio interface"},
      {K::usb, "USB Audio CODEC", F::mac, "USB audio interface"},
      {K::usb, "Desk Interface 2", F::mac, "USB audio interface (Desk Interface 2)"},
      {K::usb, " USB Microphone ", F::mac, "USB audio interface"},
      {K::headset, "Buds", F::iPhone, "Headset microphone"},
      {K::bluetooth, "Bluetooth HFP headset", F::mac, "Bluetooth headset"},
      {K::bluetooth, "Travel Buds", F::mac, "Bluetooth headset (Travel Buds)"},
      {K::bluetooth, "BLUETOOTH", F::mac, "Bluetooth headset"},
      {K::lineIn, "Rear", F::mac, "Line in"},
      {K::other, " \n ", F::mac, "Microphone"},
      {K::other, "  Studio Mic  ", F::mac, "Studio Mic"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CaptionInputNaming::label(c.kind, c.port, c.family), c.label) << "'" << c.port << "'";
  }
}

TEST(CaptionInputNamingTest, GenericNamesNotesAndMeasurementMode) {
  EXPECT_TRUE(CaptionInputNaming::isGeneric("", K::headset));
  EXPECT_FALSE(CaptionInputNaming::isGeneric("x", K::headset));
  EXPECT_FALSE(CaptionInputNaming::isGeneric(" usb", K::usb));  // not trimmed here
  EXPECT_EQ(CaptionInputNaming::note(K::bluetooth), "Lower quality");
  for (K k : {K::builtIn, K::usb, K::headset, K::lineIn, K::other}) {
    EXPECT_EQ(CaptionInputNaming::note(k), std::nullopt);
  }
  for (K k : allCaptionAudioInputKinds) {
    EXPECT_EQ(CaptionAudioSessionPlan::usesMeasurementMode(k), k == K::usb || k == K::lineIn);
  }
}

TEST(CaptionHostFamilyTest, FromMachineAndSimulatorModel) {
  using CaptionHostFamilies::from;
  EXPECT_EQ(from("arm64", "iPhone15,2"), F::iPhone);
  EXPECT_EQ(from("iPad13,1", std::nullopt), F::iPad);
  EXPECT_EQ(from("Mac14,2", std::nullopt), F::mac);
  EXPECT_EQ(from("x86_64", std::nullopt), F::iPad);
  EXPECT_EQ(from("iPhone10,3", "Watch"), F::iPhone);
  EXPECT_EQ(from("iPod9,1", std::nullopt), F::iPhone);
  EXPECT_EQ(captionHostFamilyFromRaw("mac"), F::mac);
  EXPECT_EQ(captionHostFamilyFromRaw("Mac"), std::nullopt);
  EXPECT_EQ(word(F::mac), "Mac");
  EXPECT_EQ(CaptionHostFamilies::current, F::mac);
}

}  // namespace
}  // namespace quorvel
