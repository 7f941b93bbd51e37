// The fixture of the TLS suites on both systems: a trust store of the test's own, never the user's,
// in a folder that does not exist yet, and one GET that reads the trust store there.
#pragma once

#include "net/HttpProt.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

namespace quenlo::test {

class TrustStoreTest : public ::testing::Test {
protected:
    // One GET; the failure text, or empty when it was answered below 400. What came is in body_,
    // the failure's code in code_.
    std::string Get(THttpCli& http, const std::string& url)
    {
        http.SetURL(url);
        http.SetTrustStorePath(store_);
        std::ostringstream reply;
        http.SetReplyStream(&reply);
        std::string failure;
        try {
            http.Get();
        } catch (const EHttpException& e) {
            failure = e.Message();
            code_ = e.ErrorCode();
        }
        body_ = reply.str();
        return failure;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A port number of the moment names the folder: no other run holds the same one now.
    const std::filesystem::path dir_ =
        std::filesystem::temp_directory_path() / ("quenlo-tls-" + std::to_string(RefusingPort()));
    const std::string store_ = (dir_ / "sub" / "trusted-servers").string();
    std::string body_;
    std::uint16_t code_ = 0;
};

}  // namespace quenlo::test
