#include "into_downloader.h"

#include "device_prep/device_push.h"
#include "string_table.h"

namespace {

// A device that has not half its battery left may die in the middle of writing its flash.
constexpr unsigned POWER_PERCENT_NEEDED = 50;

std::string Percent(const PowerStatus& power) {
  return power.batteryLifePercent == POWER_UNKNOWN ? "an unknown charge"
                                                   : std::to_string(power.batteryLifePercent) + " %";
}

std::string BatteryWords(const PowerStatus& power) {
  if (power.batteryFlag == POWER_UNKNOWN) return "";
  if ((power.batteryFlag & POWER_FLAG_CRITICAL) != 0) return ", critical";
  if ((power.batteryFlag & POWER_FLAG_LOW) != 0) return ", low";
  return "";
}

}  // namespace

std::string PowerRefusal(const PowerStatus& power) {
  if (power.acLineStatus != AC_LINE_OFFLINE) return "";
  const bool calledLow =
      power.batteryFlag != POWER_UNKNOWN && (power.batteryFlag & (POWER_FLAG_LOW | POWER_FLAG_CRITICAL)) != 0;
  const bool belowHalf = power.batteryLifePercent != POWER_UNKNOWN && power.batteryLifePercent < POWER_PERCENT_NEEDED;
  return calledLow || belowHalf ? Percent(power) + BatteryWords(power) : "";
}

std::string DescribeDevice(const DeviceInfo& info) {
  return info.name + " (" + info.model + ", " + info.platform + ", OS " + std::to_string(info.osMajor) + "." +
         std::to_string(info.osMinor) + ")";
}

std::string DescribePower(const PowerStatus& power) {
  const char* line = power.acLineStatus == AC_LINE_ONLINE    ? "AC online"
                     : power.acLineStatus == AC_LINE_OFFLINE ? "on battery"
                                                             : "AC unknown";
  return std::string(line) + ", battery " + Percent(power) + BatteryWords(power);
}

LinkEnding IntoDownloader(const Road& road, LinkOptions link, ProgressPage& page) {
  link.notify = [&page](LinkNotice notice, const std::string& detail) {
    page.SetStepCaption(LinkNoticeText(notice, detail));
  };
  page.SetStepCaption(LoadText(IDS_ROAD_LOOKING));
  SyncLink device(std::move(link));
  if (!device.Open() || !device.Connect()) return device.Ending();
  page.SetStepCaption(FormatText(IDS_ROAD_DEVICE, {DescribeDevice(device.Info())}));

  // Before anything is written to it.
  if (ConnectRapi(device) != RAPI_CONNECTED) return device.Ending();
  PowerStatus power;
  const bool powerRead = device.GetSystemPowerStatusEx(power);
  device.CeRapiUninit();
  if (!powerRead) return device.Ending();
  const std::string refusal = PowerRefusal(power);
  if (!road.anyPower && !refusal.empty()) return {LinkResult::PowerTooLow, RapiCall::None, 0, refusal};

  page.SetStepCaption(LoadText(IDS_ROAD_PUSHING));
  const auto helper = road.helper.Reader();
  if (PushFileToDevice(device, *helper, HELPER_DEVICE_NAME) != 1) {
    // The link may have nothing against it: the device took less than it was sent, or
    // the helper could not be read. Either way it never started.
    if (device.Ending().result != LinkResult::None) return device.Ending();
    return {LinkResult::HelperNotStarted, RapiCall::WriteFile, 0, LoadText(IDS_ROAD_COPY_INCOMPLETE)};
  }
  page.SetStepCaption(LoadText(IDS_ROAD_STARTING));
  LaunchOnDevice(device, HELPER_DEVICE_NAME);
  switch (device.LastLaunch()) {
    case LaunchOutcome::Started:
    case LaunchOutcome::StartedLinkGone: return {};
    case LaunchOutcome::Refused: return device.Ending();
    case LaunchOutcome::NotAsked:
    case LaunchOutcome::NoAnswerYet: break;
  }
  if (device.Ending().result == LinkResult::Stopped) return device.Ending();
  return {LinkResult::HelperNotStarted, RapiCall::CreateProcess, 0, LinkEndingReason(device.Ending())};
}
