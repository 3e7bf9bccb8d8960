// The COM interfaces ExchangeFilter implements, in slot order, and the identifiers of the
// library, the class and its interfaces. The identifiers are ours and never change: they are
// written into registries by DllRegisterServer.
#ifndef CORVALITH_SINK_INTERFACES_H_
#define CORVALITH_SINK_INTERFACES_H_

#include <cstdint>
#include <string>

#include "platform/com.h"
#include "platform/variant.h"

namespace corvalith {

// {C0A7F11E-2B3D-4E5F-9A61-7B8C9D0E1F20}
inline constexpr CLSID CLSID_ExchangeFilter = {
    0xC0A7F11E, 0x2B3D, 0x4E5F, {0x9A, 0x61, 0x7B, 0x8C, 0x9D, 0x0E, 0x1F, 0x20}};
// {C0A7F11F-2B3D-4E5F-9A61-7B8C9D0E1F20}
inline constexpr IID IID__ExchangeFilter = {
    0xC0A7F11F, 0x2B3D, 0x4E5F, {0x9A, 0x61, 0x7B, 0x8C, 0x9D, 0x0E, 0x1F, 0x20}};
// {C0A7F120-2B3D-4E5F-9A61-7B8C9D0E1F20}
inline constexpr GUID LIBID_CorvalithFilter = {
    0xC0A7F120, 0x2B3D, 0x4E5F, {0x9A, 0x61, 0x7B, 0x8C, 0x9D, 0x0E, 0x1F, 0x20}};
// The store's and COM+'s interfaces, with their published identifiers.
inline constexpr IID IID_IExStoreSyncEvents = {
    0x9DA0E11F, 0x86CE, 0x11D1, {0x8B, 0xE8, 0x00, 0xC0, 0x4F, 0xD4, 0x7D, 0x42}};
inline constexpr IID IID_IExStoreSystemEvents = {
    0x9DA0E10E, 0x86CE, 0x11D1, {0x8B, 0xE8, 0x00, 0xC0, 0x4F, 0xD4, 0x7D, 0x42}};
inline constexpr IID IID_IObjectConstruct = {
    0x41C4F8B3, 0x7439, 0x11D2, {0x98, 0xCB, 0x00, 0xC0, 0x4F, 0x8E, 0xE1, 0xC4}};
inline constexpr IID IID_IObjectConstructString = {
    0x41C4F8B2, 0x7439, 0x11D2, {0x98, 0xCB, 0x00, 0xC0, 0x4F, 0x8E, 0xE1, 0xC4}};

inline constexpr char kProgId[] = "CorvalithFilter.ExchangeFilter";

// The class's own default interface.
class _ExchangeFilter : public IUnknown {
 public:
  virtual HRESULT Log(const std::string& sLog) = 0;
  virtual HRESULT Log_Err(const std::string& sErr, int32_t nErr, const std::string& source) = 0;
  virtual HRESULT GetSharedProp(const std::string& SP_Corvalith, Variant* result) = 0;

 protected:
  ~_ExchangeFilter() = default;
};

class IExStoreSyncEvents : public IUnknown {
 public:
  virtual HRESULT OnSyncSave(IUnknown* pEventInfo, const std::string& bstrURLItem,
                             int32_t lFlags) = 0;
  virtual HRESULT OnSyncDelete(IUnknown* pEventInfo, const std::string& bstrURLItem,
                               int32_t lFlags) = 0;

 protected:
  ~IExStoreSyncEvents() = default;
};

class IExStoreSystemEvents : public IUnknown {
 public:
  virtual HRESULT OnTimer(const std::string& bstrBindingGuid, int32_t lFlags) = 0;
  virtual HRESULT OnMDBStartup(const std::string& bstrMDBGuid, const std::string& bstrMDBName,
                               int32_t lFlags) = 0;
  virtual HRESULT OnMDBShutdown(const std::string& bstrMDBGuid, int32_t lFlags) = 0;

 protected:
  ~IExStoreSystemEvents() = default;
};

// The construction object COM+ hands to Construct.
class IObjectConstructString : public IUnknown {
 public:
  virtual HRESULT get_ConstructString(std::string* value) = 0;

 protected:
  ~IObjectConstructString() = default;
};

class IObjectConstruct : public IUnknown {
 public:
  virtual HRESULT Construct(IUnknown* pCtorObj) = 0;

 protected:
  ~IObjectConstruct() = default;
};

// The store's event flags.
inline constexpr int32_t EVT_NEW_ITEM = 0x00000001;
inline constexpr int32_t EVT_IS_DELIVERED = 0x00000008;
inline constexpr int32_t EVT_INITNEW = 0x00000040;
inline constexpr int32_t EVT_MOVE = 0x00000100;
inline constexpr int32_t EVT_SYNC_BEGIN = 0x01000000;
inline constexpr int32_t EVT_SYNC_COMMITTED = 0x02000000;

}  // namespace corvalith

#endif  // CORVALITH_SINK_INTERFACES_H_
