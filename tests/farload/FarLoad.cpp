// Loads the tables library more than 4 GiB away from the platform library
// (which this program links, so it is mapped first) by reserving the space
// between them, then decodes every type module the tables registered, and
// checks that each table's record is the constant the library file holds:
// its bytes up to its slots equal the file's, in memory that is not writable.
//
//   ifa-far-load PATH-OF-libifa-swtables.so
#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Kiva/PlatformTypeModules.h"
#include "Orrin/ModuleInspectData.h"

namespace {

int failures = 0;
int checks = 0;

void check(bool ok, std::string const& what) {
  ++checks;
  if (!ok) {
    ++failures;
    std::cerr << "FAILED: " << what << "\n";
  }
}

// The file offset of a loaded address of the object `base` was loaded from.
long fileOffset(void const* address, Dl_info const& info) {
  struct Query {
    std::uintptr_t base;
    std::uintptr_t address;
    long offset;
  } q{reinterpret_cast<std::uintptr_t>(info.dli_fbase), reinterpret_cast<std::uintptr_t>(address),
      -1};
  dl_iterate_phdr(
      [](dl_phdr_info* phdr, std::size_t, void* data) {
        auto& query = *static_cast<Query*>(data);
        if (phdr->dlpi_addr != query.base) return 0;
        for (int i = 0; i < phdr->dlpi_phnum; ++i) {
          ElfW(Phdr) const& p = phdr->dlpi_phdr[i];
          std::uintptr_t const start = phdr->dlpi_addr + p.p_vaddr;
          if (p.p_type == PT_LOAD && query.address >= start && query.address < start + p.p_filesz) {
            query.offset = static_cast<long>(query.address - start + p.p_offset);
          }
        }
        return 1;
      },
      &q);
  return q.offset;
}

// Whether the page holding `address` is mapped writable.
bool writable(void const* address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  auto const a = reinterpret_cast<std::uintptr_t>(address);
  while (std::getline(maps, line)) {
    std::uintptr_t from = 0, to = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) == 3 && a >= from && a < to) {
      return perms[1] == 'w';
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: ifa-far-load PATH-OF-libifa-swtables.so\n";
    return 2;
  }
  constexpr std::size_t kGap = std::size_t{5} << 30;
  void* gap = mmap(nullptr, kGap, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (gap == MAP_FAILED) {
    std::perror("mmap");
    return 2;
  }
  void* tables = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
  if (tables == nullptr) {
    std::cerr << dlerror() << "\n";
    return 2;
  }

  // The distance between the libraries.
  Dl_info platformInfo{}, tablesInfo{};
  dladdr(Kiva::PlatformTypeModules::kLoader, &platformInfo);
  dladdr(dlsym(tables, "_IfaActionProfileSwTable_fc536b73_kivaModule"), &tablesInfo);
  auto const p = reinterpret_cast<std::uintptr_t>(platformInfo.dli_fbase);
  auto const t = reinterpret_cast<std::uintptr_t>(tablesInfo.dli_fbase);
  std::uintptr_t const distance = p > t ? p - t : t - p;
  check(distance > (std::uintptr_t{4} << 30), "the libraries lie more than 4 GiB apart");

  std::ifstream file(tablesInfo.dli_fname, std::ios::binary);
  std::string const bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

  std::size_t tableModules = 0;
  for (Orrin::ModuleInspectData::Module const* m : Orrin::ModuleInspectData::loadedModules()) {
    std::string const name = m->symbol.empty() ? "a module" : m->symbol;
    check(m->types.size() == 4, name + " decodes four types");
    for (auto const& type : m->types) {
      // The base, a type of a platform module, named through its slot.
      check(!type.base.name.empty(), name + ": " + std::string(type.name) + " names its base");
      check(type.hooks.inspectOperation != nullptr,
            name + ": " + std::string(type.name) + " has its inspectOperation");
    }
    Dl_info info{};
    if (dladdr(m->record, &info) == 0 || info.dli_fbase != tablesInfo.dli_fbase) continue;
    ++tableModules;
    // The record up to its slots: the first address word names the first slot.
    std::size_t const size = m->record->typeRecords;
    long const offset = fileOffset(m->record, info);
    check(offset >= 0 && static_cast<std::size_t>(offset) + size <= bytes.size() &&
              std::memcmp(bytes.data() + offset, m->record, size) == 0,
          name + ": the bytes read equal the library file's");
    check(!writable(m->record), name + ": the record is not writable");
  }
  check(tableModules == 14, "the fourteen table modules were registered and decoded");

  std::cout << (checks - failures) << " passed, " << failures << " failed\n";
  return failures == 0 ? 0 : 1;
}
