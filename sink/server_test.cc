#include "sink/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/registry_file.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/temp_directory.h"
#include "sink/exchange_filter.h"
#include "sink/interfaces.h"

namespace corvalith {
namespace {

TEST(ServerTest, ClassFactoryMakesFiltersAndUnloadWaitsForThem) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_ExchangeFilter, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  ComPtr<IExStoreSyncEvents> sink;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IExStoreSyncEvents, sink.put_void()), S_OK);
  void* p = nullptr;
  EXPECT_EQ(factory->CreateInstance(sink.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
  factory = ComPtr<IClassFactory>();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the filter is still alive
  sink = ComPtr<IExStoreSyncEvents>();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  EXPECT_EQ(DllGetClassObject(IID_IUnknown, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
}

TEST(ServerTest, LockServerKeepsTheLibraryLoaded) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_ExchangeFilter, IID_IClassFactory, factory.put_void()), S_OK);
  factory->LockServer(true);
  factory = ComPtr<IClassFactory>();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  ASSERT_EQ(DllGetClassObject(CLSID_ExchangeFilter, IID_IClassFactory, factory.put_void()), S_OK);
  factory->LockServer(false);
  factory = ComPtr<IClassFactory>();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ServerTest, RegistrationWritesItsKeysAndUnregistrationRemovesExactlyThem) {
  testing::TempDirectory dir("corvalith-server");
  const std::string path = dir.File("registry.reg");
  const std::string original =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n"
      "\"DebugLevel\"=dword:00000001\r\n"
      "\"UseJunkMailFolder\"=\"Junk E-mail\"\r\n\r\n";
  std::ofstream(path, std::ios::binary) << original;

  ASSERT_EQ(RegisterServerIn(path, "/usr/lib/libCorvalithFilter.so.1"), S_OK);
  RegistryFile file = RegistryFile::Load(path);
  const std::string clsid_key = "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(CLSID_ExchangeFilter);
  auto server = file.Find(clsid_key + "\\InprocServer32", "");
  ASSERT_TRUE(server.has_value());
  auto threading = file.Find(clsid_key + "\\InprocServer32", "ThreadingModel");
  ASSERT_TRUE(threading.has_value());
  EXPECT_EQ(std::string(threading->second.begin(), threading->second.end() - 1), "Apartment");
  EXPECT_TRUE(file.HasKey("HKEY_CLASSES_ROOT\\CorvalithFilter.ExchangeFilter\\CLSID"));
  EXPECT_TRUE(
      file.HasKey("HKEY_CLASSES_ROOT\\TypeLib\\" + GuidToString(LIBID_CorvalithFilter) + "\\1.0"));
  EXPECT_TRUE(file.Find("HKEY_LOCAL_MACHINE\\Software\\Corvalith", "DebugLevel").has_value());

  // Registering twice leaves one registration.
  ASSERT_EQ(RegisterServerIn(path, "/usr/lib/libCorvalithFilter.so.1"), S_OK);
  std::string twice = testing::ReadFileBytes(path);
  ASSERT_EQ(RegisterServerIn(path, "/usr/lib/libCorvalithFilter.so.1"), S_OK);
  EXPECT_EQ(testing::ReadFileBytes(path), twice);

  ASSERT_EQ(UnregisterServerIn(path), S_OK);
  RegistryFile after = RegistryFile::Load(path);
  for (const std::string& key : RegistrationKeys()) EXPECT_FALSE(after.HasKey(key)) << key;
  EXPECT_NE(testing::ReadFileBytes(path).find("\"UseJunkMailFolder\"=\"Junk E-mail\""), std::string::npos);
}

}  // namespace
}  // namespace corvalith
