// Fuzz target: the central side's directory documents (server list, system
// information, query list) as the directory refresh scans them into the
// registry.  Checked: whatever a document got stored can be loaded back (a
// record is refused rather than stored unreadable), a text without a results
// element stores nothing, and the QURL and interface answers are consistent
// with the text.
#include "directory/server_directory.h"
#include "fuzz/fuzz_common.h"
#include "log/event_log.h"
#include "platform/registry.h"
#include "support/result_codes.h"

using namespace zel::fuzz;

namespace {

// Empties the directory's part of the registry, so that every input starts
// from nothing and the database stays small.
void ClearDirectory() {
    (void)zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, kServersKey);
    (void)zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, kQueriesKey);
}

bool DirectoryIsEmpty() {
    zel::reg::Key key;
    for (const char* path : {kServersKey, kQueriesKey}) {
        if (zel::reg::OpenKey(zel::reg::Hive::LocalMachine, path, &key) != zel::reg::kSuccess) {
            continue;
        }
        std::string name;
        if (zel::reg::EnumKey(key, 0, &name) == zel::reg::kSuccess) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The refresh hands the scanners a zero-terminated text.
    const std::string raw(AsText(data, size));
    const std::string text = raw.substr(0, raw.find('\0'));
    CEventLog log;

    ClearDirectory();
    {
        CQVReg directory(&log);
        const HRESULT servers = directory.UpdateRegistryFromServerXMLData(text.c_str());
        const HRESULT queries = directory.UpdateRegistryFromQueryXMLData(text.c_str());
        const bool stored_any = !DirectoryIsEmpty();
        // A document without a results element stores nothing.
        if (servers == S_FALSE && queries == S_FALSE) ZEL_FUZZ_CHECK(!stored_any);
        if (stored_any) {
            CQVReg reader(&log);
            ZEL_FUZZ_CHECK(SUCCEEDED(reader.LoadInfoFromReg()));
            ZEL_FUZZ_CHECK(reader.GetServerInfoCount() + reader.GetQueryInfoCount() > 0);
        }

        CStringHolder url;
        const HRESULT qurl = directory.GetQURLFromSystemInfo(text.c_str(), url.Out());
        if (SUCCEEDED(qurl) && url) {
            // The address is the text of the document's first QURL element.
            ZEL_FUZZ_CHECK(text.find("<QURL>") != std::string::npos);
            ZEL_FUZZ_CHECK(text.find("</QURL>") != std::string::npos);
            // It is stored trimmed.
            const std::string_view u(url.get());
            ZEL_FUZZ_CHECK(u.empty() ||
                           (u.find_first_of(" \t") != 0 && u.find_last_of(" \t") != u.size() - 1));
        }
        const HRESULT supported = directory.CheckIfInterfaceSupported(text.c_str(), "POLL");
        if (SUCCEEDED(supported)) ZEL_FUZZ_CHECK(text.find("<POLL>") != std::string::npos);
    }

    ClearDirectory();
    return 0;
}
