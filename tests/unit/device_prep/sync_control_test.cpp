#include "device_prep/sync_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_desktop.h"

namespace {

using Texts = std::vector<std::string>;

const std::string MANAGER_EVENT = "Microsoft Windows CE Services Manager Event";
const std::string PATH_WITH_BLANKS = "C:\\Program Files\\Sync Software\\WCESMGR.EXE";
const std::string QUOTED_KEY = "registry Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\WCESMGR.EXE";
const std::string PLAIN_KEY = "registry SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\WCESMGR.EXE";
const std::string OPEN_FAILED = "RegOpenKey error";
const std::string QUERY_FAILED = "RegQueryKey error: ActiveSync in Finish.";
const std::string START_FAILED = "CreateProcess failed: ActiveSync in Finish.";

TEST(CloseWindowByClass, ClosesOnlyTheFirstWindowAndReportsWhetherAnyRemains) {
  ScriptedDesktop desktop;
  EXPECT_EQ(CloseWindowByClass(desktop, "CEAppMgr"), 1);
  EXPECT_EQ(desktop.calls, (Texts{"find CEAppMgr", "find CEAppMgr"}));

  desktop.AddWindow("CEAppMgr");
  desktop.AddWindow("CEAppMgr");
  EXPECT_EQ(CloseWindowByClass(desktop, "CEAppMgr"), 0);
  EXPECT_EQ(desktop.CountCalls("close CEAppMgr 2000"), 1);
  EXPECT_EQ(CloseWindowByClass(desktop, "CEAppMgr"), 1);
}

TEST(ShutdownActiveSync, WithNothingRunningSendsNothingAndSucceeds) {
  ScriptedDesktop desktop;
  desktop.RegisterAppPath(PATH_WITH_BLANKS);
  desktop.processes = {{11, "explorer.exe"}, {12, "svchost.exe"}};
  EXPECT_EQ(ShutdownActiveSync(desktop), 1);
  KillActiveSyncProcesses(desktop);
  for (const std::string& call : desktop.calls) EXPECT_EQ(call.rfind("close ", 0), std::string::npos) << call;
  EXPECT_TRUE(desktop.started.empty());
  EXPECT_FALSE(desktop.processes[0].terminated || desktop.processes[1].terminated);
  EXPECT_EQ(desktop.openProcessHandles, 0);
}

TEST(ShutdownActiveSync, ClosesTheWindowsAndAsksTheRunningManagerToQuit) {
  ScriptedDesktop desktop;
  desktop.RegisterAppPath(PATH_WITH_BLANKS);
  desktop.events.insert(MANAGER_EVENT);
  for (const char* cls : {"CEAppMgr", "SyncMgrUI", "DccMan Class"}) desktop.AddWindow(cls);
  EXPECT_EQ(ShutdownActiveSync(desktop), 1);
  EXPECT_EQ(desktop.calls,
            (Texts{"find CEAppMgr", "close CEAppMgr 2000", "find CEAppMgr",
                   "find SyncMgrUI", "close SyncMgrUI 2000", "find SyncMgrUI",
                   "event " + MANAGER_EVENT, QUOTED_KEY, "start \"" + PATH_WITH_BLANKS + "\" /quit",
                   "find SyncMgrUI", "find SyncMgrUI",
                   "find DccMan Class", "close DccMan Class 2000", "find DccMan Class",
                   "find CEAppMgr", "find CEAppMgr", "find SyncMgrUI", "find SyncMgrUI"}));
}

TEST(ShutdownActiveSync, ASurvivingDccManWindowFailsAndSparesTheLaterClasses) {
  ScriptedDesktop desktop;
  desktop.AddWindow("CEAppMgr", false);
  desktop.AddWindow("SyncMgrUI", false);
  desktop.AddWindow("DccMan Class", false);
  EXPECT_EQ(ShutdownActiveSync(desktop), 0);
  EXPECT_EQ(desktop.CountCalls("close DccMan Class 2000"), 1);
  EXPECT_EQ(desktop.CountCalls("close CEAppMgr 2000"), 1);   // step one only
  EXPECT_EQ(desktop.CountCalls("close SyncMgrUI 2000"), 2);  // before and after the quit request
  EXPECT_EQ(desktop.calls.back(), "find DccMan Class");
}

TEST(ShutdownActiveSync, AWindowSurvivingTheLastCheckFails) {
  ScriptedDesktop desktop;
  desktop.AddWindow("SyncMgrUI", false);
  EXPECT_EQ(ShutdownActiveSync(desktop), 0);
  EXPECT_EQ(desktop.CountCalls("close SyncMgrUI 2000"), 3);
}

TEST(KillActiveSyncProcesses, EndsBothProgramsInAnyCaseWithTheCodeTheyReport) {
  ScriptedDesktop desktop;
  desktop.processes = {
      {4, "WCESMGR.EXE"},
      {8, "WcesComm.exe", true, true, true, 7},
      {12, "wcesmgr.exe", true, true, false},  // exit code unreadable
      {16, "wcesmgr.exe", false},              // cannot be opened
      {20, "wcescomm.exe", true, false},       // module unreadable: "<unknown>"
      {24, "wcesmgr.exe.old"},
      {28, "notepad.exe"},
  };
  KillActiveSyncProcesses(desktop);

  std::vector<std::uint32_t> ended;
  for (const FakeProcess& p : desktop.processes) {
    if (p.terminated) ended.push_back(p.id);
  }
  EXPECT_EQ(ended, (std::vector<std::uint32_t>{4, 8, 12}));
  EXPECT_EQ(desktop.processes[1].terminatedWith, 7u);
  EXPECT_EQ(desktop.processes[2].terminatedWith, RUNNING_EXIT_CODE);
  EXPECT_EQ(desktop.calls.front(), "enumerate 1024");
  // The code is read before the process is ended, and its handle closed after.
  const Texts first(desktop.calls.begin() + 1, desktop.calls.begin() + 5);
  EXPECT_EQ(first, (Texts{"open 4", "exitcode 4", "terminate 4 259", "closeprocess 4"}));
  EXPECT_EQ(desktop.openProcessHandles, 0);
  EXPECT_TRUE(desktop.output.empty());
}

TEST(KillActiveSyncProcesses, EndsTheUserProgramsOfTheLaterSyncSoftwareToo) {
  ScriptedDesktop desktop;
  desktop.processes = {{4, "wmdc.exe"}, {8, "WMDCBASE.EXE"}, {12, "wmdc.exe.log"}, {16, "wmdcbase"}};
  KillActiveSyncProcesses(desktop);
  EXPECT_TRUE(desktop.processes[0].terminated && desktop.processes[1].terminated);
  EXPECT_FALSE(desktop.processes[2].terminated || desktop.processes[3].terminated);
}

TEST(KillActiveSyncProcesses, AFailedListPrintsOneLineAndEndsNothing) {
  ScriptedDesktop desktop;
  desktop.enumerationFails = true;
  desktop.processes = {{4, "wcesmgr.exe"}};
  KillActiveSyncProcesses(desktop);
  EXPECT_EQ(desktop.output, "EnumProcesses error\n");
  EXPECT_EQ(desktop.calls, Texts{"enumerate 1024"});
  EXPECT_FALSE(desktop.processes[0].terminated);
}

TEST(StartActiveSyncQuoted, QuotesTheRegisteredPathAndAppendsTheArguments) {
  ScriptedDesktop desktop;
  desktop.RegisterAppPath(PATH_WITH_BLANKS);
  EXPECT_NE(StartActiveSyncQuoted(desktop, nullptr), 0);
  EXPECT_NE(StartActiveSyncQuoted(desktop, " /quit"), 0);
  EXPECT_EQ(desktop.started, (Texts{"\"" + PATH_WITH_BLANKS + "\"", "\"" + PATH_WITH_BLANKS + "\" /quit"}));
}

TEST(StartActiveSyncQuoted, StartsNothingWithoutAUsablePathAndTellsNoOne) {
  ScriptedDesktop missing;
  ScriptedDesktop unreadable;
  unreadable.registry[ScriptedDesktop::APP_PATH_KEY] = {true, ""};
  ScriptedDesktop empty;
  empty.RegisterAppPath("");
  for (ScriptedDesktop* desktop : {&missing, &unreadable, &empty}) {
    EXPECT_EQ(StartActiveSyncQuoted(*desktop, nullptr), 0);
    EXPECT_TRUE(desktop->started.empty());
    EXPECT_TRUE(desktop->output.empty());
  }

  ScriptedDesktop refusing;
  refusing.RegisterAppPath(PATH_WITH_BLANKS);
  refusing.processStartFails = true;
  EXPECT_EQ(StartActiveSyncQuoted(refusing, nullptr), 0);
}

TEST(StartActiveSyncQuoted, StartsNoCommandLineLongerThanItsBuffer) {
  // 260 characters fit: two quotes, the path and the arguments.
  ScriptedDesktop desktop;
  desktop.RegisterAppPath("C:\\" + std::string(249, 'p'));  // 252 characters
  EXPECT_NE(StartActiveSyncQuoted(desktop, " /quit"), 0);
  desktop.RegisterAppPath("C:\\" + std::string(250, 'p'));
  EXPECT_EQ(StartActiveSyncQuoted(desktop, " /quit"), 0);
  desktop.RegisterAppPath("C:\\" + std::string(255, 'p'));  // 258 characters
  EXPECT_NE(StartActiveSyncQuoted(desktop, nullptr), 0);
  desktop.RegisterAppPath("C:\\" + std::string(256, 'p'));
  EXPECT_EQ(StartActiveSyncQuoted(desktop, nullptr), 0);
  ASSERT_EQ(desktop.started.size(), 2u);
  EXPECT_EQ(desktop.started[0].size(), 260u);
  EXPECT_EQ(desktop.started[1].size(), 260u);
}

TEST(StartActiveSync, StartsTheRegisteredPathBareAndSaysNothing) {
  ScriptedDesktop desktop;
  RecordingMessageBoxes boxes;
  desktop.RegisterAppPath(PATH_WITH_BLANKS);
  StartActiveSync(desktop, boxes);
  EXPECT_EQ(desktop.calls, (Texts{PLAIN_KEY, "start " + PATH_WITH_BLANKS}));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST(StartActiveSync, ReportsEachFailureInOrder) {
  struct Case {
    const char* what;
    void (*script)(ScriptedDesktop&);
    Texts boxes;
  };
  const Case cases[] = {
      {"no key", [](ScriptedDesktop&) {}, {OPEN_FAILED, START_FAILED}},
      {"unreadable value",
       [](ScriptedDesktop& d) { d.registry[ScriptedDesktop::APP_PATH_KEY] = {true, ""}; },
       {QUERY_FAILED, START_FAILED}},
      {"value beyond the buffer", [](ScriptedDesktop& d) { d.RegisterAppPath(std::string(260, 'p')); },
       {QUERY_FAILED, START_FAILED}},
      {"empty value", [](ScriptedDesktop& d) { d.RegisterAppPath(""); }, {START_FAILED}},
      {"start refused",
       [](ScriptedDesktop& d) {
         d.RegisterAppPath(PATH_WITH_BLANKS);
         d.processStartFails = true;
       },
       {START_FAILED}},
  };
  for (const Case& c : cases) {
    ScriptedDesktop desktop;
    RecordingMessageBoxes boxes;
    c.script(desktop);
    StartActiveSync(desktop, boxes);
    EXPECT_EQ(boxes.shown, c.boxes) << c.what;
    EXPECT_TRUE(desktop.started.empty()) << c.what;
  }
}

TEST(StartActiveSync, TakesTheLongestPathItsBufferHolds) {
  ScriptedDesktop desktop;
  RecordingMessageBoxes boxes;
  desktop.RegisterAppPath(std::string(259, 'p'));
  StartActiveSync(desktop, boxes);
  EXPECT_EQ(desktop.started, Texts{std::string(259, 'p')});
  EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace

namespace {

const std::string STOP_WCESCOMM = "stop WcesComm 15000";
const std::string STOP_RAPIMGR = "stop RapiMgr 15000";

}  // namespace

TEST(StopSyncServices, StopsWhatRunsAndStartsAgainOnlyThatInTheReverseOrder) {
  ScriptedDesktop desktop;
  desktop.serviceStops["WcesComm"] = {ServiceStop::Stopped};
  desktop.serviceStops["RapiMgr"] = {ServiceStop::Stopped};
  std::vector<std::string> stopped;
  EXPECT_EQ(StopSyncServices(desktop, stopped), Texts{});
  EXPECT_EQ(stopped, (Texts{"WcesComm", "RapiMgr"}));
  // The progress page stops them once more: they no longer run, and each is kept once.
  EXPECT_EQ(StopSyncServices(desktop, stopped), Texts{});
  EXPECT_EQ(stopped, (Texts{"WcesComm", "RapiMgr"}));
  StartSyncServices(desktop, stopped);
  EXPECT_EQ(desktop.calls, (Texts{STOP_WCESCOMM, STOP_RAPIMGR, STOP_WCESCOMM, STOP_RAPIMGR, "start service RapiMgr",
                                  "start service WcesComm"}));
  EXPECT_TRUE(stopped.empty());

  // Nothing stopped, nothing started: a service that did not run stays as it was.
  desktop.calls.clear();
  desktop.serviceStops["RapiMgr"] = {ServiceStop::Stopped};
  EXPECT_EQ(StopSyncServices(desktop, stopped), Texts{});
  StartSyncServices(desktop, stopped);
  StartSyncServices(desktop, stopped);
  EXPECT_EQ(desktop.CountCalls("start service WcesComm"), 0);
  EXPECT_EQ(desktop.CountCalls("start service RapiMgr"), 1);
}

TEST(StopSyncServices, ARefusedStopIsTriedAgainAfterTheOthersAndWhatStillRunsIsNamed) {
  // WcesComm's stop is refused while RapiMgr, which needs it, runs; stopped in the
  // second round once RapiMgr has gone.
  ScriptedDesktop desktop;
  desktop.serviceStops["WcesComm"] = {ServiceStop::Refused, ServiceStop::Stopped};
  desktop.serviceStops["RapiMgr"] = {ServiceStop::Stopped};
  std::vector<std::string> stopped;
  EXPECT_EQ(StopSyncServices(desktop, stopped), Texts{});
  EXPECT_EQ(desktop.calls, (Texts{STOP_WCESCOMM, STOP_RAPIMGR, STOP_WCESCOMM}));
  EXPECT_EQ(stopped, (Texts{"RapiMgr", "WcesComm"}));

  // Refused twice (not an administrator), or still running at the bound (not tried
  // again): both are named, and neither is started again later.
  desktop.calls.clear();
  stopped.clear();
  desktop.serviceStops["WcesComm"] = {ServiceStop::Refused, ServiceStop::Refused};
  desktop.serviceStops["RapiMgr"] = {ServiceStop::StillRunning};
  EXPECT_EQ(StopSyncServices(desktop, stopped), (Texts{"RapiMgr", "WcesComm"}));
  EXPECT_EQ(desktop.calls, (Texts{STOP_WCESCOMM, STOP_RAPIMGR, STOP_WCESCOMM}));
  StartSyncServices(desktop, stopped);
  EXPECT_EQ(desktop.CountCalls("start service WcesComm") + desktop.CountCalls("start service RapiMgr"), 0);
}
