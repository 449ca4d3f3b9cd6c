// Records of the host stand-in that the module reaches through pointers, and
// the host's private state.  Internal to host/.
#pragma once

#include "host/host.h"
#include "host/utf.h"

#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qhost {

enum class ObjKind { Instance, TypeObject, Variable };

struct HostType;

// A host object.  The module reads word 2 (the private-data accessor) and
// nothing else, so the record starts with the documented header (no bases,
// no virtual functions: the first member sits at the object's address).
struct HostObject {
  QiraHostObject hdr;
  Host::Impl *host = nullptr;
  ObjKind kind = ObjKind::Instance;
  uint32_t refs = 0;
  HostType *type = nullptr;  // instance: its type; type object: the type it makes
  std::vector<uintptr_t> priv;  // word-aligned private data; empty when none
  uint64_t serial = 0;
  bool dying = false;
  struct Prop {
    Value value;
    uint16_t flag = 0;
  };
  std::map<uint32_t, Prop> props;  // by symbol index
  Value var;                       // variables only
  uint32_t assigns = 0;
  uint16_t lastflag = 0;
  uint32_t notes = 0;
};

// A registered type: the type record and its type-info record, both read by
// the module at their documented offsets, followed by the host's own fields.
struct HostType {
  QiraTypeRecord rec;
  QiraTypeInfo info;
  const QiraTypeDesc *desc = nullptr;
  std::string name;
  Host::Impl *host = nullptr;
};

// The module context with the owning host behind the documented part.
struct HostModuleCtx {
  QiraModuleCtx ctx;
  Host::Impl *host;
};

// Registration context of 130: word 1 is the function provider.
struct HostRegCtx {
  uintptr_t magic;
  QiraProvider *provider;
  Host::Impl *host;
};

// Listing record as the host reads it at teardown: links, cleanup, argument.
struct ListingHead {
  QiraDNode links;
  uint32_t (*cleanup)(void *arg);
  void *arg;
};

struct CallState {
  Host::Impl *host = nullptr;
  QiraCallCtx callctx{};
  struct BlockCtx {
    uintptr_t magic;
    CallState *st;
  } blockctx{};
  std::vector<QiraArgSlot> slots;
  std::vector<std::u16string> names;
  std::deque<Value> arena;       // payloads the slots point at (stable addresses)
  std::vector<Variable> vars;    // variables passed, kept alive for the call
  QiraResult result{};
  bool withResult = true;
  Ref receiverHold;
  QiraObjRef receiver{};
  uint32_t argcOut = 0;
  CallOutcome out;
  bool open = false;
  uint32_t last = 0;

  ~CallState();
};

struct Host::Impl {
  Host *self = nullptr;
  void *dl = nullptr;
  std::string path;

  // Module functions.
  const QiraVersion *ver = nullptr;
  uint32_t (*getRefCount)(void) = nullptr;
  uint32_t (*getRef)(uint32_t, uint32_t *) = nullptr;
  uint32_t (*getSymCount)(void *, uint32_t *) = nullptr;
  uint32_t (*getSymbol)(void *, uint32_t, QiraNameDesc *) = nullptr;
  uint32_t (*addTypes)(void *, void *, void *) = nullptr;
  uint32_t (*getVersion)(void *, uint16_t *, uint32_t, uint32_t *) = nullptr;
  uint32_t (*memGroupGet)(QiraMemGroup *, uint32_t, uint32_t, QiraMemGroup **) = nullptr;
  void (*memGroupFree)(QiraMemGroup *) = nullptr;
  QiraYieldFn moduleYield = nullptr;

  // Answers read at load.
  std::u16string verText;
  uint32_t refcount = 0;
  std::vector<uint32_t> refs;
  std::vector<std::u16string> syms;

  HostModuleCtx modctx{};
  QiraProvider provider{};
  HostRegCtx regctx{};
  QiraMemGroup *group = nullptr;

  std::deque<HostType> typeStore;  // stable addresses: the module keeps pointers
  std::vector<TypeView> views;
  HostType typetype{};             // type record of every type object
  HostType *ringFirst = nullptr;   // types registered by the running addTypes
  HostType *ringLast = nullptr;

  std::set<HostObject *> objects;  // this host's live objects
  std::set<Value *> boxes;         // value records' payloads made by 402-405
  uint64_t serials = 0;

  std::set<uint32_t> getterFaults;
  struct FaultState {
    Fault f;
    uint32_t seen = 0;
  };
  std::map<uint32_t, FaultState> fnFaults;
  std::map<uint32_t, uint32_t> calls;
  std::vector<std::u16string> lastParams;  // the names of the latest 140
  std::vector<std::string> violations;
  std::vector<CallState *> liveCalls;

  // Counts the call and applies a fault: the code to fail with, or 0.
  uint32_t enter(uint32_t id);
  void violation(std::string text);
  std::string symbol8(uint32_t index) const;
  uint32_t symbolIndex(std::u16string_view name) const;
  HostType *findType(const QiraTypeRecord *rec);
  HostObject *newObject(ObjKind kind, HostType *type);
  void destroy(HostObject *obj);
  void release(HostObject *obj);
  CallState *callByCtx(const void *callctx);
  CallState *callByBlockCtx(const void *blockctx);
  CallState *callBySlot(const QiraArgSlot *slot);
  size_t cleanupListings();
  void teardown();
};

// The host whose code is running: the innermost one that called into a
// module on this thread, else the most recently loaded live host.
Host::Impl *currentHost();

// Marks a call into module code, so host functions reached from it (which
// carry no context of their own) know their host.
class Enter {
 public:
  explicit Enter(Host::Impl *h);
  ~Enter();
  Enter(const Enter &) = delete;
  Enter &operator=(const Enter &) = delete;
};

// Every live host object of every host (the accessor gets only the pointer).
std::set<HostObject *> &allObjects();
HostObject *liveObject(const void *p);  // null when p is no live object

// Value records: make (heap payload for 402-405) and take apart.
inline constexpr uintptr_t kBoxMagic = 0x51424f58;   // payload pointer in word 1
inline constexpr uintptr_t kBoolMagic = 0x51424f4c;  // boolean in word 1
inline constexpr uintptr_t kSlotMagic = 0x51534c54;  // argument payload pointer in word 1
void putBox(Host::Impl *h, QiraValue *rec, Value v);
// Decodes a value record by tag; consumes a heap payload on success.
std::optional<Value> takeValue(Host::Impl *h, uint32_t tag, QiraValue *rec);

// The host function table: ID to function (without faults).
QiraHostFn hostFunction(uint32_t id);
QiraHostFn hostGetter(uint32_t id);

}  // namespace qhost
