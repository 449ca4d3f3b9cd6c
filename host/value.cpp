// Script values, object handles and variables of the host stand-in.
#include "host/hostimpl.h"

#include <cmath>
#include <ostream>
#include <sstream>

namespace qhost {

// ---- Value ----------------------------------------------------------------------

namespace {

std::vector<uint16_t> digitsOf(uint64_t v) {
  std::vector<uint16_t> d;
  for (; v; v >>= 16) d.push_back(uint16_t(v & 0xFFFF));
  return d;
}

// Digits without the most significant zero digits.
size_t usedDigits(const std::vector<uint16_t> &d) {
  size_t n = d.size();
  while (n && d[n - 1] == 0) --n;
  return n;
}

}  // namespace

Value::Value() = default;

Value Value::boolean(bool b) {
  Value v;
  v.kind_ = Kind::Bool;
  v.b_ = b;
  return v;
}

Value Value::integer(int64_t i) {
  Value v;
  v.kind_ = Kind::Int;
  v.neg_ = i < 0;
  // Negate in unsigned arithmetic so INT64_MIN works.
  v.digits_ = digitsOf(i < 0 ? ~uint64_t(i) + 1 : uint64_t(i));
  return v;
}

Value Value::unsignedInt(uint64_t u) {
  Value v;
  v.kind_ = Kind::Int;
  v.digits_ = digitsOf(u);
  return v;
}

Value Value::digits(bool negative, std::vector<uint16_t> d) {
  Value v;
  v.kind_ = Kind::Int;
  v.neg_ = negative;
  v.digits_ = std::move(d);
  return v;
}

Value Value::string(std::u16string s) {
  Value v;
  v.kind_ = Kind::Str;
  v.str_ = std::move(s);
  return v;
}

Value Value::string8(std::string_view utf8) { return string(toU16(utf8)); }

Value Value::real(double d) {
  Value v;
  v.kind_ = Kind::Real;
  v.real_ = d;
  return v;
}

Value Value::object(Ref r) {
  Value v;
  v.kind_ = Kind::Object;
  v.obj_ = std::make_shared<Ref>(std::move(r));
  return v;
}

uint32_t Value::tag() const {
  switch (kind_) {
    case Kind::None: return QIRA_TAG_NONE;
    case Kind::Bool: return QIRA_TAG_BOOL;
    case Kind::Int: return QIRA_TAG_INT;
    case Kind::Str: return QIRA_TAG_STRING;
    case Kind::Real: return QIRA_TAG_NUMERIC;
    case Kind::Object: return kTagObject;
  }
  return QIRA_TAG_NONE;
}

std::optional<uint64_t> Value::toUint64() const {
  if (kind_ != Kind::Int) return std::nullopt;
  size_t n = usedDigits(digits_);
  if (n > 4) return std::nullopt;
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 16) | digits_[i];
  if (neg_ && v != 0) return std::nullopt;
  return v;
}

std::optional<int64_t> Value::toInt64() const {
  if (kind_ != Kind::Int) return std::nullopt;
  size_t n = usedDigits(digits_);
  if (n > 4) return std::nullopt;
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 16) | digits_[i];
  if (!neg_) {
    if (v > uint64_t(INT64_MAX)) return std::nullopt;
    return int64_t(v);
  }
  if (v > uint64_t(INT64_MAX) + 1) return std::nullopt;
  return int64_t(~v + 1);
}

std::string Value::utf8() const { return kind_ == Kind::Str ? toU8(str_) : std::string(); }

const Ref &Value::object() const {
  static const Ref empty;
  return obj_ ? *obj_ : empty;
}

std::string Value::describe() const {
  std::ostringstream os;
  switch (kind_) {
    case Kind::None: os << "none"; break;
    case Kind::Bool: os << (b_ ? "true" : "false"); break;
    case Kind::Int:
      if (auto i = toInt64()) {
        os << *i;
      } else {
        os << (neg_ ? "-" : "") << "digits[";
        for (size_t i = digits_.size(); i-- > 0;) os << std::hex << digits_[i] << (i ? " " : "");
        os << "]";
      }
      break;
    case Kind::Str: os << '"' << toU8(str_) << '"'; break;
    case Kind::Real: os << real_; break;
    case Kind::Object:
      if (HostObject *o = object().get())
        os << "object#" << o->serial;
      else
        os << "object(null)";
      break;
  }
  return os.str();
}

bool operator==(const Value &a, const Value &b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Value::Kind::None: return true;
    case Value::Kind::Bool: return a.b_ == b.b_;
    case Value::Kind::Int: {
      size_t n = usedDigits(a.digits_);
      if (n != usedDigits(b.digits_)) return false;
      if (n && a.neg_ != b.neg_) return false;
      return std::equal(a.digits_.begin(), a.digits_.begin() + long(n), b.digits_.begin());
    }
    case Value::Kind::Str: return a.str_ == b.str_;
    case Value::Kind::Real: return a.real_ == b.real_;
    case Value::Kind::Object: return a.object() == b.object();
  }
  return false;
}

void PrintTo(const Value &v, std::ostream *os) { *os << v.describe(); }
std::ostream &operator<<(std::ostream &os, const Value &v) { return os << v.describe(); }

// ---- Ref --------------------------------------------------------------------------

Ref::Ref(const Ref &o) : obj_(o.obj_) {
  if (obj_) ++obj_->refs;
}
Ref::Ref(Ref &&o) noexcept : obj_(o.obj_) { o.obj_ = nullptr; }
Ref &Ref::operator=(const Ref &o) {
  if (this != &o) {
    Ref copy(o);
    *this = std::move(copy);
  }
  return *this;
}
Ref &Ref::operator=(Ref &&o) noexcept {
  if (this != &o) {
    reset();
    obj_ = o.obj_;
    o.obj_ = nullptr;
  }
  return *this;
}
Ref::~Ref() { reset(); }

Ref Ref::adopt(HostObject *obj) {
  Ref r;
  r.obj_ = obj;
  return r;
}

Ref Ref::share(HostObject *obj) {
  if (obj) ++obj->refs;
  return adopt(obj);
}

uint32_t Ref::refCount() const { return obj_ ? obj_->refs : 0; }

void *Ref::priv() const {
  return obj_ && !obj_->priv.empty() ? obj_->priv.data() : nullptr;
}

Host *Ref::host() const { return obj_ && obj_->host ? obj_->host->self : nullptr; }

void Ref::reset() {
  HostObject *o = obj_;
  obj_ = nullptr;
  if (o) o->host->release(o);
}

HostObject *Ref::release() {
  HostObject *o = obj_;
  obj_ = nullptr;
  return o;
}

// ---- Variable ------------------------------------------------------------------------

Value Variable::get() const { return ref_ ? ref_.get()->var : Value(); }
void Variable::set(Value v) {
  if (ref_) ref_.get()->var = std::move(v);
}
uint32_t Variable::assignments() const { return ref_ ? ref_.get()->assigns : 0; }
uint16_t Variable::lastFlag() const { return ref_ ? ref_.get()->lastflag : 0; }
uint32_t Variable::notes() const { return ref_ ? ref_.get()->notes : 0; }

}  // namespace qhost
