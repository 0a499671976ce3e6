#include "fakes.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

void FakeChannel::Say(const std::string& text) {
  for (char c : text) script_.push_back({false, static_cast<std::uint8_t>(c), 0});
}

void FakeChannel::Pause(std::uint32_t milliseconds) { script_.push_back({true, 0, milliseconds}); }

void FakeChannel::FailWrite(std::size_t index, WriteEnd end) {
  failIndex_ = index;
  failEnd_ = end;
}

WriteEnd FakeChannel::Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) {
  const std::size_t index = writes.size();
  writes.emplace_back(data, data + size);
  const bool ok = index != failIndex_;
  writeOk_.push_back(ok);
  written = ok ? size : size / 2;
  return ok ? WriteEnd::Written : failEnd_;
}

std::vector<std::uint8_t> FakeChannel::Wire() const {
  std::vector<std::uint8_t> wire;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (writeOk_[i]) wire.insert(wire.end(), writes[i].begin(), writes[i].end());
  }
  return wire;
}

std::size_t FakeChannel::pendingBytes() const {
  return static_cast<std::size_t>(std::count_if(script_.begin(), script_.end(), [](const Event& e) { return !e.isPause; }));
}

bool FakeChannel::ReadByte(std::uint8_t& byte, std::uint32_t& got) {
  ++reads;
  got = 0;
  if (!script_.empty() && !script_.front().isPause) {
    byte = script_.front().byte;
    script_.pop_front();
    got = 1;
    return true;
  }
  if (gone_ && script_.empty()) return false;
  std::uint32_t wait = readWaitMs_;
  if (!script_.empty()) {
    Event& pause = script_.front();
    wait = std::min(wait, pause.pauseMs);
    pause.pauseMs -= wait;
    if (pause.pauseMs == 0) script_.pop_front();
  }
  if (clock_ != nullptr) clock_->Advance(wait);
  return true;
}

bool FakeChannel::GetTimeouts(CommTimeouts& value) {
  value = timeouts;
  return true;
}

bool FakeChannel::SetTimeouts(const CommTimeouts& value) {
  timeouts = value;
  ++timeoutSets;
  return true;
}

void RecordingBar::SetRange(std::int32_t value) {
  upper = value;
  log_->push_back(name_ + ".range " + std::to_string(value));
}

void RecordingBar::SetPos(std::int32_t value) {
  pos = value;
  log_->push_back(name_ + ".pos " + std::to_string(value));
}

TempFolder::TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/orvane-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  if (DIR* dir = ::opendir(path_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") ::unlink(Path(name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path_.c_str());
}

void TempFolder::Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> TempFolder::Read(const std::string& name) const {
  std::ifstream in(Path(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void FaultyFile::Fail(Op op, int index, bool shortRead) {
  failOp_ = op;
  failIndex_ = index;
  shortRead_ = shortRead;
}

void FaultyFile::Throw(Op op, int index, std::exception_ptr error) {
  Fail(op, index);
  error_ = std::move(error);
}

bool FaultyFile::Failing(Op op) {
  if (op != failOp_ || counts_[static_cast<int>(op)]++ != failIndex_) return false;
  if (error_) std::rethrow_exception(error_);
  return true;
}

bool FaultyFile::Seek(std::int64_t offset, SeekFrom from) {
  return !Failing(Op::Seek) && inner_->Seek(offset, from);
}

bool FaultyFile::Read(void* buffer, std::uint32_t count, std::uint32_t& got) {
  if (Failing(Op::Read)) {
    got = 0;
    return shortRead_ && inner_->Read(buffer, count / 2, got);
  }
  return inner_->Read(buffer, count, got);
}

bool FaultyFile::Write(const void* data, std::uint32_t count) {
  return !Failing(Op::Write) && inner_->Write(data, count);
}

bool FaultyFile::SetLength(std::uint64_t length) { return !Failing(Op::SetLength) && inner_->SetLength(length); }

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
