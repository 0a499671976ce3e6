// The road from a device's normal state into its USB downloader, over its sync link:
// the device is found and looked at, refused before anything is written to it when its
// power is too low, and the helper is copied to it and started, which restarts it into
// its downloader. Its port is then awaited as any port is.
#pragma once

#include <string>

#include "opened_file.h"
#include "progress_page.h"
#include "sync_link.h"

// The device's name for the helper: in its root folder, started with no arguments.
constexpr char16_t HELPER_DEVICE_NAME[] = u"\\Nalvex.exe";

// Why the device's power refuses an update: its figures, when it runs on its battery
// below half, or with a battery it calls low or critical; empty when the power allows.
std::string PowerRefusal(const PowerStatus& power);

// What a device tells about itself, in one line: name, model, platform and OS.
std::string DescribeDevice(const DeviceInfo& info);
// Its power, in one line.
std::string DescribePower(const PowerStatus& power);

struct Road {
  const OpenedFile& helper;
  bool anyPower = false;
};

// Takes the device on the link into its downloader, showing each step as the page's
// caption; an ending with result None once the helper has started.
LinkEnding IntoDownloader(const Road& road, LinkOptions link, ProgressPage& page);
