#include "bench/data_set.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "base/handles.h"
#include "base/text.h"

namespace {

const wchar_t* const kWords[] = {L"report", L"Invoice", L"photo",  L"IMG",  L"notes",  L"draft",
                                 L"Budget", L"scan",    L"letter", L"data", L"Backup", L"summary"};
const wchar_t* const kExtensions[] = {L".txt", L".docx", L".jpg", L".csv", L".pdf", L".dat"};

constexpr uint64_t kTicksPerSecond = 10000000ull;
constexpr uint64_t kYear2020 = 132223104000000000ull;  // 2020-01-01 00:00:00 UTC

std::vector<std::wstring> planFolders(uint32_t depth, uint32_t fanOut) {
  std::vector<std::wstring> folders{L""};
  std::vector<std::wstring> level{L""};
  for (uint32_t d = 0; d < depth; ++d) {
    std::vector<std::wstring> next;
    for (const auto& parent : level)
      for (uint32_t i = 0; i < fanOut; ++i)
        next.push_back((parent.empty() ? L"" : parent + L"\\") + formatText(L"dir%02u", i + 1));
    folders.insert(folders.end(), next.begin(), next.end());
    level.swap(next);
  }
  return folders;
}

std::wstring withLongPrefix(const std::wstring& path) { return L"\\\\?\\" + path; }

bool writeOneFile(const std::wstring& path, const std::string& bytes, uint64_t time) {
  FileHandle file(CreateFileW(withLongPrefix(path).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size())
    return false;
  FILETIME ft{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  return SetFileTime(file.get(), &ft, &ft, &ft) != 0;
}

}  // namespace

std::wstring DataSetParams::describe() const {
  return formatText(
      L"seed %u, %u sources x %u files, %.0f%% of names in several sources, depth %u "
      L"(fan-out %u), sizes %u-%u bytes",
      seed, sources, filesPerSource, sharedShare * 100, depth, fanOut, minSize, maxSize);
}

std::wstring DataSetParams::key() const {
  return formatText(L"set-%u-%ux%u-sh%u-d%u-f%u-z%u-%u", seed, sources, filesPerSource,
                    static_cast<unsigned>(std::lround(sharedShare * 1000)), depth, fanOut, minSize,
                    maxSize);
}

const PlannedCopy& PlannedName::winner() const {
  const PlannedCopy* best = &copies.front();
  for (const auto& c : copies)
    if (c.time > best->time || (c.time == best->time && c.source < best->source)) best = &c;
  return *best;
}

uint64_t DataSetPlan::copyCount() const {
  uint64_t n = 0;
  for (const auto& name : names) n += name.copies.size();
  return n;
}

uint64_t DataSetPlan::sharedNameCount() const {
  uint64_t n = 0;
  for (const auto& name : names) n += name.copies.size() > 1;
  return n;
}

DataSetPlan planDataSet(const DataSetParams& params) {
  DataSetPlan plan;
  plan.params = params;
  plan.folders = planFolders(params.depth, params.fanOut);
  Random random(params.seed);
  const uint32_t n = params.sources;
  std::vector<uint32_t> capacity(n, params.filesPerSource);

  // Names in several sources: each is in k sources, k uniform in 2..n.  With
  // T copies in all, M shared names of k copies on average and U unique
  // names, T = U + kM and M / (U + M) = share give M below.
  std::vector<std::vector<uint32_t>> placements;
  if (n >= 2 && params.sharedShare > 0) {
    double total = static_cast<double>(n) * params.filesPerSource;
    double meanCopies = (2.0 + n) / 2.0;
    double s = std::min(params.sharedShare, 1.0);
    auto shared = static_cast<uint64_t>(std::llround(s * total / (s * meanCopies + 1 - s)));
    std::vector<uint32_t> order(n);
    for (uint64_t m = 0; m < shared; ++m) {
      uint32_t k = 2 + random.below(n - 1);
      // The sources with the most room left take the copies, so every source
      // ends with exactly filesPerSource files.
      std::iota(order.begin(), order.end(), 0u);
      for (uint32_t i = n; i > 1; --i) std::swap(order[i - 1], order[random.below(i)]);
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t a, uint32_t b) { return capacity[a] > capacity[b]; });
      uint32_t available = 0;
      while (available < n && capacity[order[available]] > 0) ++available;
      k = std::min(k, available);
      if (k < 2) break;
      std::vector<uint32_t> chosen(order.begin(), order.begin() + k);
      std::sort(chosen.begin(), chosen.end());
      for (uint32_t src : chosen) --capacity[src];
      placements.push_back(std::move(chosen));
    }
  }
  for (uint32_t src = 0; src < n; ++src)
    for (uint32_t i = 0; i < capacity[src]; ++i) placements.push_back({src});
  // Mix shared and unique names before numbering them.
  for (size_t i = placements.size(); i > 1; --i)
    std::swap(placements[i - 1], placements[random.below(static_cast<uint32_t>(i))]);

  const uint64_t span = 3ull * 365 * 24 * 3600;
  plan.names.reserve(placements.size());
  for (size_t i = 0; i < placements.size(); ++i) {
    PlannedName name;
    uint32_t word = random.below(sizeof kWords / sizeof kWords[0]);
    uint32_t ext = random.below(sizeof kExtensions / sizeof kExtensions[0]);
    name.name = formatText(L"%s_%06u%s", kWords[word], static_cast<unsigned>(i), kExtensions[ext]);
    name.folder = random.below(static_cast<uint32_t>(plan.folders.size()));
    for (uint32_t src : placements[i]) {
      PlannedCopy copy;
      copy.source = src;
      // Distinct times per name, so the winner never depends on a tie.
      for (;;) {
        copy.time = kYear2020 + (random.next() % span) * kTicksPerSecond;
        bool clash = false;
        for (const auto& other : name.copies) clash |= other.time == copy.time;
        if (!clash) break;
      }
      copy.size = params.minSize + random.below(params.maxSize - params.minSize + 1);
      name.copies.push_back(copy);
    }
    plan.names.push_back(std::move(name));
  }
  return plan;
}

std::string copyContent(const PlannedName& name, const PlannedCopy& copy) {
  std::string bytes =
      "source " + std::to_string(copy.source + 1) + " " + toUtf8(name.name) + "\r\n";
  Random random(copy.time ^ (uint64_t{copy.source} << 56) ^ copy.size);
  while (bytes.size() < copy.size) bytes += static_cast<char>('a' + random.below(26));
  bytes.resize(copy.size);
  return bytes;
}

std::wstring copyPath(const DataSetPlan& plan, const std::wstring& root, const PlannedName& name,
                      const PlannedCopy& copy) {
  std::wstring base = root + formatText(L"\\s%u", copy.source + 1);
  return (name.folder == 0 ? base : base + L"\\" + plan.folders[name.folder]) + L"\\" + name.name;
}

bool writeCopy(const DataSetPlan& plan, const std::wstring& root, const PlannedName& name,
               const PlannedCopy& copy) {
  return writeOneFile(copyPath(plan, root, name, copy), copyContent(name, copy), copy.time);
}

DataSetPlan planNewerWinners(const DataSetPlan& plan, double share, uint64_t seed,
                             std::vector<size_t>& changed) {
  DataSetPlan out = plan;
  const size_t count = plan.names.size();
  auto chosen = static_cast<size_t>(std::llround(std::clamp(share, 0.0, 1.0) * count));
  // The first `chosen` places of a seeded shuffle of the indexes.
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  Random random(seed ^ 0x6E65776572ull);
  for (size_t i = 0; i < chosen; ++i)
    std::swap(order[i], order[i + random.below(static_cast<uint32_t>(count - i))]);
  changed.assign(order.begin(), order.begin() + chosen);
  std::sort(changed.begin(), changed.end());

  const uint32_t sizes = plan.params.maxSize - plan.params.minSize + 1;
  for (size_t index : changed) {
    PlannedName& name = out.names[index];
    const PlannedCopy& winner = name.winner();
    PlannedCopy* copy = &name.copies[&winner - name.copies.data()];
    uint64_t newest = 0;
    for (const auto& c : name.copies) newest = std::max(newest, c.time);
    // A minute to a day later: newer at any volume's precision.
    copy->time = newest + (60 + random.below(24 * 3600)) * kTicksPerSecond;
    uint32_t size = plan.params.minSize + random.below(sizes);
    if (size == copy->size)
      size = sizes > 1 ? plan.params.minSize + (size - plan.params.minSize + 1) % sizes : size + 1;
    copy->size = size;
  }
  return out;
}

bool writeDataSet(const DataSetPlan& plan, const std::wstring& root) {
  for (uint32_t src = 0; src < plan.params.sources; ++src) {
    std::wstring base = root + formatText(L"\\s%u", src + 1);
    CreateDirectoryW(withLongPrefix(root).c_str(), nullptr);
    CreateDirectoryW(withLongPrefix(base).c_str(), nullptr);
    for (size_t f = 1; f < plan.folders.size(); ++f)
      CreateDirectoryW(withLongPrefix(base + L"\\" + plan.folders[f]).c_str(), nullptr);
    for (const auto& name : plan.names) {
      for (const auto& copy : name.copies) {
        if (copy.source != src) continue;
        if (!writeCopy(plan, root, name, copy)) return false;
      }
    }
  }
  return true;
}
