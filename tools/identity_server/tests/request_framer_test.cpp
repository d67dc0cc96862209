#include "tools/identity_server/request_framer.h"

#include "tools/identity_server/tests/test_requests.h"

#include <gtest/gtest.h>

namespace qv::identity_server {
namespace {

TEST(RequestFramer, JoinsARequestSplitOverManyReads)
{
    const std::vector<uint8_t> bytes = test::ExampleRequest(5);
    REQUEST_FRAMER framer;
    std::vector<uint8_t> request;
    for (size_t index = 0; index + 1 < bytes.size(); ++index) {
        framer.Append({&bytes[index], 1});
        ASSERT_EQ(framer.Next(request), FRAME_STATE::NEED_MORE) << "after byte " << index;
    }
    EXPECT_EQ(framer.ExpectedLength(), 34u);
    framer.Append({&bytes.back(), 1});
    ASSERT_EQ(framer.Next(request), FRAME_STATE::REQUEST);
    EXPECT_EQ(request, bytes);
    EXPECT_EQ(framer.Buffered(), 0u);
}

TEST(RequestFramer, SeparatesSeveralRequestsFromOneRead)
{
    const std::vector<uint8_t> first = test::ExampleRequest(1);
    const std::vector<uint8_t> second = test::ExampleRequest(2);
    std::vector<uint8_t> stream = first;
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), first.begin(), first.begin() + 5);

    REQUEST_FRAMER framer;
    framer.Append(stream);
    std::vector<uint8_t> request;
    ASSERT_EQ(framer.Next(request), FRAME_STATE::REQUEST);
    EXPECT_EQ(request, first);
    ASSERT_EQ(framer.Next(request), FRAME_STATE::REQUEST);
    EXPECT_EQ(request, second);
    EXPECT_EQ(framer.Next(request), FRAME_STATE::NEED_MORE);
    EXPECT_EQ(framer.Buffered(), 5u);
}

TEST(RequestFramer, ALengthBelowTheHeaderCannotBeFollowed)
{
    REQUEST_FRAMER framer;
    framer.Append(std::vector<uint8_t>{0x00, 0x09, 0x00, 0x03});
    std::vector<uint8_t> request;
    EXPECT_EQ(framer.Next(request), FRAME_STATE::BAD_LENGTH);
    EXPECT_EQ(request, (std::vector<uint8_t>{0x00, 0x09, 0x00, 0x03}));
}

}  // namespace
}  // namespace qv::identity_server
