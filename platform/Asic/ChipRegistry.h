// Asic::ChipRegistry: where a chip plug-in leaves what it provides for the
// agent to pick up.
//
// The plug-in loader runs a chip plug-in's providers when a table's
// UtilLoader asks for the table's Util. A provider cannot reach the table
// itself (tables are created later, by the agent), so it files a Util factory
// here under the table's qualified name ("CorvaneInt::IfaActionProfile"), and
// the agent creates the Util from it and attaches it to the table. A chip
// whose hardware lives outside the process (a device, a memory image) also
// files its device here, through which the agent attaches that hardware.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Asic/SwTable.h"
#include "Orrin/Ptr.h"

namespace Asic {

// A chip's hardware as the agent attaches it.
class ChipDevice {
 public:
  // How the hardware is attached.
  enum class Mode {
    create,      // a new, empty hardware image; refused when one exists
    open,        // the existing image; writes reach it
    openPrivate  // the existing image; writes stay in this process
  };

  // Raised when the hardware cannot be attached (missing, unreadable, or not
  // this chip's); the message names the image and what is wrong.
  class Error : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };
  // Raised when storage fails the hardware: no space left for a new or
  // sparse image, a failed write or sync. The message names the file.
  class IoError : public Error {
   public:
    using Error::Error;
  };

  virtual ~ChipDevice() = default;
  // The chip profile: which chip this is and how large its tables are.
  virtual std::string profileName() const = 0;
  // Attaches the hardware at `image`. Messages name it as `name` (the path as
  // the user gave it, say, where `image` is the resolved one), or as `image`
  // when `name` is empty.
  virtual void attach(std::string const& image, Mode mode, std::string const& name) = 0;
  // Makes the writes made in open or create mode durable; raises IoError
  // when they cannot be.
  virtual void sync() {}
  // Detaches the hardware; writes made in open mode are kept.
  virtual void detach() = 0;
  virtual bool attached() const = 0;
  // The bytes of row `index` of a table (by qualified name) as the attached
  // hardware holds them, byte 0 first, for reports that show what a rewrite
  // changed where the decoded entries do not differ. Empty when the device
  // cannot read its rows back this way.
  virtual std::vector<std::uint8_t> rowBytes(std::string_view /*qualifiedTable*/,
                                             std::uint32_t /*index*/) const {
    return {};
  }
};

class ChipRegistry {
 public:
  using UtilFactory = std::function<Orrin::Ptr<SwTable::Util>()>;

  // Files (or replaces) the Util factory of a table.
  static void utilFactoryIs(std::string qualifiedTableName, UtilFactory factory);
  // A new Util for the table, or an empty reference when nothing was filed.
  static Orrin::Ptr<SwTable::Util> utilNew(std::string_view qualifiedTableName);
  // The tables with a Util factory, in name order.
  static std::vector<std::string> tables();

  // The chip device, or null. The plug-in keeps ownership.
  static void deviceIs(ChipDevice* device);
  static ChipDevice* device();

  // Why a plug-in that was asked for the chip could not provide it (its
  // setting names no chip it knows, ...), so that the agent reports that
  // cause alone; empty when none did.
  static void refusalIs(std::string why);
  static std::string refusal();

  // Forgets everything filed (tests).
  static void clear();
};

}  // namespace Asic
