// Loading a module, its module context and memory group, registered types,
// objects, properties, fault injection and teardown.
#include "host/hostimpl.h"

#include <dlfcn.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>

namespace qhost {

// ---- which host is running -----------------------------------------------------------

namespace {

std::vector<Host::Impl *> &enterStack() {
  thread_local std::vector<Host::Impl *> stack;
  return stack;
}

std::vector<Host::Impl *> &liveHosts() {
  static std::vector<Host::Impl *> hosts;
  return hosts;
}

// Private data is poison-filled so a field the initialiser forgets shows up.
constexpr uintptr_t kPoison = uintptr_t(0xA5A5A5A5A5A5A5A5ull);
constexpr uintptr_t kRegMagic = 0x51524547;
// Listings beyond this at teardown mean a ring the cleanups do not shrink.
constexpr size_t kMaxListings = 1u << 20;

template <typename T>
T sym(void *dl, const char *name) {
  return reinterpret_cast<T>(dlsym(dl, name));
}

}  // namespace

Host::Impl *currentHost() {
  if (!enterStack().empty()) return enterStack().back();
  return liveHosts().empty() ? nullptr : liveHosts().back();
}

Enter::Enter(Host::Impl *h) { enterStack().push_back(h); }
Enter::~Enter() { enterStack().pop_back(); }

std::set<HostObject *> &allObjects() {
  static std::set<HostObject *> all;
  return all;
}

HostObject *liveObject(const void *p) {
  auto *o = static_cast<HostObject *>(const_cast<void *>(p));
  return p && allObjects().count(o) ? o : nullptr;
}

// The private-data accessor at word 2 of every host object.
static void *privAccessor(void *obj, uintptr_t *) {
  HostObject *o = liveObject(obj);
  if (!o) {
    if (Host::Impl *h = currentHost()) h->violation("private data of an object that is not alive");
    return nullptr;
  }
  return o->priv.empty() ? nullptr : o->priv.data();
}

// ---- Impl ------------------------------------------------------------------------

uint32_t Host::Impl::enter(uint32_t id) {
  ++calls[id];
  auto it = fnFaults.find(id);
  if (it == fnFaults.end()) return 0;
  FaultState &fs = it->second;
  uint32_t n = fs.seen++;
  if (n < fs.f.after || n - fs.f.after >= fs.f.times) return 0;
  // 108 has no code to return; its caller sees null.
  return fs.f.code ? fs.f.code : kHostErrBadValue;
}

void Host::Impl::violation(std::string text) { violations.push_back(std::move(text)); }

std::string Host::Impl::symbol8(uint32_t index) const {
  return index >= 1 && index <= syms.size() ? toU8(syms[index - 1]) : std::string();
}

uint32_t Host::Impl::symbolIndex(std::u16string_view name) const {
  for (size_t i = 0; i < syms.size(); ++i)
    if (syms[i] == name) return uint32_t(i + 1);
  return 0;
}

HostType *Host::Impl::findType(const QiraTypeRecord *rec) {
  for (HostType &t : typeStore)
    if (&t.rec == rec) return &t;
  return nullptr;
}

HostObject *Host::Impl::newObject(ObjKind kind, HostType *type) {
  auto *o = new HostObject;
  o->hdr.w0 = kPoison;
  o->hdr.w1 = kPoison;
  o->hdr.priv = &privAccessor;
  o->host = this;
  o->kind = kind;
  o->type = type;
  o->serial = ++serials;
  objects.insert(o);
  allObjects().insert(o);
  if (kind == ObjKind::Instance && type->desc->privsize) {
    size_t words = (type->desc->privsize + sizeof(uintptr_t) - 1) / sizeof(uintptr_t);
    o->priv.assign(words, kPoison);
    if (type->desc->init) {
      Enter e(this);
      type->desc->init(o->priv.data());
    }
  }
  return o;
}

void Host::Impl::destroy(HostObject *o) {
  if (o->dying) return;
  o->dying = true;
  if (o->kind == ObjKind::Instance && !o->priv.empty() && o->type->desc->term) {
    Enter e(this);
    o->type->desc->term(o->priv.data());
  }
  objects.erase(o);
  allObjects().erase(o);
  delete o;
}

void Host::Impl::release(HostObject *o) {
  if (o->refs == 0) {
    violation("a reference released that nobody held");
    return;
  }
  if (--o->refs == 0) destroy(o);
}

CallState *Host::Impl::callByCtx(const void *callctx) {
  for (CallState *st : liveCalls)
    if (&st->callctx == callctx) return st;
  return nullptr;
}

CallState *Host::Impl::callByBlockCtx(const void *blockctx) {
  for (CallState *st : liveCalls)
    if (&st->blockctx == blockctx) return st;
  return nullptr;
}

CallState *Host::Impl::callBySlot(const QiraArgSlot *slot) {
  for (CallState *st : liveCalls)
    if (!st->slots.empty() && slot >= st->slots.data() &&
        slot < st->slots.data() + st->slots.size())
      return st;
  return nullptr;
}

size_t Host::Impl::cleanupListings() {
  QiraDNode *head = &modctx.ctx.listings;
  size_t n = 0;
  Enter e(this);
  while (head->next && head->next != head && n < kMaxListings) {
    QiraDNode *node = head->next;
    auto *rec = reinterpret_cast<ListingHead *>(node);
    if (rec->cleanup) rec->cleanup(rec->arg);
    if (head->next == node) {
      // The cleanup did not unlink its record; unlink it so the walk ends.
      violation("a listing cleanup left its record linked");
      node->prev->next = node->next;
      node->next->prev = node->prev;
    }
    ++n;
  }
  return n;
}

void Host::Impl::teardown() {
  cleanupListings();
  views.clear();  // drops the type objects
  // Whatever the module still holds is terminated so its memory goes back
  // before the group is released.  Handles a test kept are its own bug.
  while (!objects.empty()) {
    HostObject *o = *objects.begin();
    if (o->dying) {
      objects.erase(o);
      continue;
    }
    destroy(o);
  }
  for (Value *b : boxes) delete b;
  boxes.clear();
  if (group && memGroupFree) {
    Enter e(this);
    memGroupFree(group);
  }
  group = nullptr;
}

// ---- loading ----------------------------------------------------------------------

Host::Host() : impl_(std::make_unique<Impl>()) { impl_->self = this; }

std::unique_ptr<Host> Host::load(const std::string &path, std::string &error) {
  std::unique_ptr<Host> host(new Host());
  Impl &m = *host->impl_;
  m.path = path;
  m.dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m.dl) {
    const char *e = dlerror();
    error = e ? e : "dlopen failed";
    return nullptr;
  }
  auto getver = sym<const QiraVersion *(*)()>(m.dl, "VXGetVer");
  auto tarvo = sym<QiraHostFn (*)(int32_t)>(m.dl, "TARVO");
  m.memGroupGet = sym<decltype(m.memGroupGet)>(m.dl, "Mem_GroupGet");
  m.memGroupFree = sym<decltype(m.memGroupFree)>(m.dl, "Mem_GroupFree");
  m.moduleYield = sym<QiraYieldFn>(m.dl, "TARVOYield_Lnx_SockOrTime");
  if (!getver || !tarvo || !m.memGroupGet || !m.memGroupFree) {
    error = path + ": the module does not export VXGetVer, TARVO, Mem_GroupGet and Mem_GroupFree";
    return nullptr;
  }
  m.ver = getver();
  m.getRefCount = reinterpret_cast<decltype(m.getRefCount)>(tarvo(100));
  m.getRef = reinterpret_cast<decltype(m.getRef)>(tarvo(101));
  m.getSymCount = reinterpret_cast<decltype(m.getSymCount)>(tarvo(102));
  m.getSymbol = reinterpret_cast<decltype(m.getSymbol)>(tarvo(103));
  m.addTypes = reinterpret_cast<decltype(m.addTypes)>(tarvo(104));
  m.getVersion = reinterpret_cast<decltype(m.getVersion)>(tarvo(110));
  if (!m.ver || !m.getRefCount || !m.getRef || !m.getSymCount || !m.getSymbol || !m.addTypes ||
      !m.getVersion) {
    error = path + ": no version record, or TARVO lacks one of the functions 100-104, 110";
    return nullptr;
  }

  m.refcount = m.getRefCount();
  for (uint32_t i = 1; i <= m.refcount && i <= 1024; ++i) {
    uint32_t v = 0;
    if (m.getRef(i, &v) != QIRA_OK) {
      error = path + ": reference " + std::to_string(i) + " cannot be read";
      return nullptr;
    }
    m.refs.push_back(v);
  }

  uint32_t nsyms = 0;
  if (m.getSymCount(nullptr, &nsyms) != QIRA_OK) {
    error = path + ": the symbol count cannot be read";
    return nullptr;
  }
  for (uint32_t i = 1; i <= nsyms; ++i) {
    QiraNameDesc d{0, nullptr};
    if (m.getSymbol(nullptr, i, &d) != QIRA_OK || (d.len && !d.ptr) || d.len % 2) {
      error = path + ": symbol " + std::to_string(i) + " cannot be read";
      return nullptr;
    }
    m.syms.emplace_back(reinterpret_cast<const char16_t *>(d.ptr), d.len / 2);
  }

  // The version text: ask for the length with no room, then read it.
  uint32_t need = 0;
  (void)m.getVersion(nullptr, nullptr, 0, &need);
  std::u16string text(need, u'\0');
  uint32_t got = need;
  if (m.getVersion(nullptr, reinterpret_cast<uint16_t *>(text.data()), need, &got) == QIRA_OK) m.verText = text.substr(0, std::min(got, need));

  // The module context: provider, a heap group of the module's own making,
  // and an empty list of open listings.
  m.provider.w0 = 0;
  m.provider.w1 = 0;
  m.provider.getter = &hostGetter;
  m.regctx = HostRegCtx{kRegMagic, &m.provider, &m};
  m.modctx.ctx.provider = &m.provider;
  m.modctx.ctx.listings.next = m.modctx.ctx.listings.prev = &m.modctx.ctx.listings;
  m.modctx.host = &m;
  QiraMemGroup *g = nullptr;
  uint32_t rc = m.memGroupGet(nullptr, QIRA_GROUP_HEAP, 0, &g);
  if (rc != QIRA_OK || !g) {
    error = path + ": Mem_GroupGet(null, 1, 0) failed with " + std::to_string(rc);
    return nullptr;
  }
  m.group = g;
  m.modctx.ctx.group = g;

  // Type objects answer 108 with this record: kind 0x20002, in a ring alone.
  m.typetype.rec.next = &m.typetype.rec;
  m.typetype.rec.info = &m.typetype.info;
  m.typetype.info.kind = QIRA_KIND_TYPEOBJECT;
  m.typetype.name = "type";
  m.typetype.host = &m;
  liveHosts().push_back(&m);
  return host;
}

Host::~Host() {
  Impl &m = *impl_;
  if (m.group) m.teardown();
  auto &hosts = liveHosts();
  hosts.erase(std::remove(hosts.begin(), hosts.end(), &m), hosts.end());
  if (m.dl) dlclose(m.dl);
}

// ---- what the module said ---------------------------------------------------------

const QiraVersion &Host::version() const { return *impl_->ver; }
std::string Host::description() const {
  const QiraVersion &v = *impl_->ver;
  return v.desc1 ? std::string(v.desc1, v.desclen1) : std::string();
}
const std::u16string &Host::versionText() const { return impl_->verText; }
std::string Host::versionText8() const { return toU8(impl_->verText); }
uint32_t Host::refCount() const { return impl_->refcount; }
const std::vector<uint32_t> &Host::references() const { return impl_->refs; }
const std::vector<std::u16string> &Host::symbols() const { return impl_->syms; }
std::string Host::symbol8(uint32_t index) const { return impl_->symbol8(index); }
uint32_t Host::symbolIndex(std::string_view utf8) const { return impl_->symbolIndex(toU16(utf8)); }
void *Host::moduleSymbol(const char *name) const { return dlsym(impl_->dl, name); }

// ---- registration -----------------------------------------------------------------

uint32_t Host::addTypes(void *argument) {
  Impl &m = *impl_;
  m.ringFirst = m.ringLast = nullptr;
  Enter e(&m);
  uint32_t rc = m.addTypes(nullptr, &m.regctx, argument);
  m.ringFirst = m.ringLast = nullptr;
  return rc;
}

const std::vector<TypeView> &Host::types() const { return impl_->views; }

const TypeView *Host::type(std::string_view name) const {
  for (const TypeView &t : impl_->views)
    if (t.name == name) return &t;
  return nullptr;
}

Ref Host::typeObject(std::string_view name) const {
  const TypeView *t = type(name);
  return t ? t->typeObject : Ref();
}

// ---- objects, variables, values --------------------------------------------------------

Ref Host::create(std::string_view name) {
  const TypeView *t = type(name);
  if (!t) return Ref();
  HostObject *o = impl_->newObject(ObjKind::Instance, impl_->findType(t->record));
  return Ref::share(o);
}

Variable Host::variable(Value initial) {
  HostObject *o = impl_->newObject(ObjKind::Variable, nullptr);
  o->var = std::move(initial);
  return Variable(Ref::share(o));
}

size_t Host::liveObjects() const {
  return size_t(std::count_if(impl_->objects.begin(), impl_->objects.end(),
                              [](HostObject *o) { return o->kind == ObjKind::Instance; }));
}

size_t Host::liveVariables() const {
  return size_t(std::count_if(impl_->objects.begin(), impl_->objects.end(),
                              [](HostObject *o) { return o->kind == ObjKind::Variable; }));
}

size_t Host::liveValues() const { return impl_->boxes.size(); }

// ---- properties and value hooks ------------------------------------------------------

std::optional<Value> Host::prop(const Ref &obj, std::string_view name) const {
  if (!obj) return std::nullopt;
  auto it = obj.get()->props.find(symbolIndex(name));
  if (it == obj.get()->props.end()) return std::nullopt;
  return it->second.value;
}

std::optional<uint16_t> Host::propFlag(const Ref &obj, std::string_view name) const {
  if (!obj) return std::nullopt;
  auto it = obj.get()->props.find(symbolIndex(name));
  if (it == obj.get()->props.end()) return std::nullopt;
  return it->second.flag;
}

std::vector<std::pair<std::string, Value>> Host::props(const Ref &obj) const {
  std::vector<std::pair<std::string, Value>> out;
  if (!obj) return out;
  for (const auto &[symbol, p] : obj.get()->props) out.emplace_back(symbol8(symbol), p.value);
  return out;
}

Host::ValueOutcome Host::value(const Ref &obj) {
  ValueOutcome out;
  HostObject *o = obj.get();
  if (!o || o->kind != ObjKind::Instance || !o->type->desc->getvalue) {
    out.status = kHostErrNoMethod;
    return out;
  }
  QiraObjRef ref = obj.raw();
  QiraValue rec;
  std::fill(std::begin(rec.w), std::end(rec.w), kPoison);
  uint32_t tag = 0xFFFFFFFFu;
  {
    Enter e(impl_.get());
    out.status = o->type->desc->getvalue(&ref, &tag, &rec);
  }
  out.tag = tag;
  if (out.status == QIRA_OK) {
    std::optional<Value> v = takeValue(impl_.get(), tag, &rec);
    if (v) out.value = std::move(*v);
  }
  return out;
}

uint32_t Host::assign(const Ref &obj, const Value &) {
  HostObject *o = obj.get();
  if (!o || o->kind != ObjKind::Instance || !o->type->desc->setvalue) return kHostErrNoMethod;
  Enter e(impl_.get());
  return o->type->desc->setvalue();
}

// ---- memory and the module context -----------------------------------------------------

QiraProvider *Host::provider() { return &impl_->provider; }
QiraMemGroup *Host::group() const { return impl_->group; }

size_t Host::liveBlocks() const {
  const QiraMemGroup *g = impl_->group;
  if (!g) return 0;
  size_t n = 0;
  for (const QiraDNode *p = g->list.next; p && p != &g->list && n < SIZE_MAX; p = p->next) ++n;
  return n;
}

size_t Host::openListings() const {
  const QiraDNode *head = &impl_->modctx.ctx.listings;
  size_t n = 0;
  for (const QiraDNode *p = head->next; p && p != head && n < kMaxListings; p = p->next) ++n;
  return n;
}

size_t Host::runListingCleanups() { return impl_->cleanupListings(); }

size_t Host::runCleanupsExcept(const char *keep) {
  const void *kept = moduleSymbol(keep);
  QiraDNode *head = &impl_->modctx.ctx.listings;
  size_t n = 0;
  Enter e(impl_.get());
  for (QiraDNode *node = head->next, *next; node && node != head; node = next) {
    next = node->next;
    auto *rec = reinterpret_cast<ListingHead *>(node);
    if (reinterpret_cast<const void *>(rec->cleanup) == kept || !rec->cleanup) continue;
    rec->cleanup(rec->arg);
    ++n;
  }
  return n;
}

// ---- faults and observation --------------------------------------------------------------

void Host::failGetter(uint32_t id) { impl_->getterFaults.insert(id); }
void Host::failHostFn(const Fault &f) { impl_->fnFaults[f.id] = Impl::FaultState{f, 0}; }
void Host::clearFaults() {
  impl_->getterFaults.clear();
  impl_->fnFaults.clear();
}
uint32_t Host::hostCalls(uint32_t id) const {
  auto it = impl_->calls.find(id);
  return it == impl_->calls.end() ? 0 : it->second;
}
const std::vector<std::u16string> &Host::lastParameterNames() const { return impl_->lastParams; }
void Host::clearLogs() {
  impl_->lastParams.clear();
  impl_->calls.clear();
  impl_->violations.clear();
}
const std::vector<std::string> &Host::violations() const { return impl_->violations; }

const std::vector<uint32_t> &Host::apiIds() {
  static const std::vector<uint32_t> ids{QIRA_HOSTAPI_IDS};
  return ids;
}

uint32_t Host::msCounter() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return uint32_t(uint64_t(tv.tv_sec) * 1000u + uint64_t(tv.tv_usec) / 1000u);
}

QiraYieldRec Host::periodicRecord(uint32_t periodMs) {
  return QiraYieldRec{-1, kYieldModePeriodic, periodMs, msCounter() + periodMs, 0};
}

QiraHostFn Host::hostFn(uint32_t id) const { return hostFunction(id); }

}  // namespace qhost
