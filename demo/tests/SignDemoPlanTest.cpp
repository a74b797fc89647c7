// SignDemoPlanTest.cpp
//
// The scripted holder's plan: the pages the token will show and the key
// presses, each waiting for a text of its own page, for the sample
// transaction (which must need the page key), a four-line transfer and data
// that is not sign-data XML; confirmed and cancelled.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SignDemoPlan.h"
#include "SignSamples.h"

namespace {

std::string SampleTransfer()
{
    std::string strData;
    std::FILE *pFile = std::fopen(KQ_DEMO_TRANSFER_XML, "rb");
    if (pFile == nullptr)
        return strData;
    char ab[4096];
    size_t n = 0;
    while ((n = std::fread(ab, 1, sizeof(ab), pFile)) > 0)
        strData.append(ab, n);
    std::fclose(pFile);
    return strData;
}

struct PlanCase {
    const char *pszName;
    std::string strData;
    bool bCancel;
    bool bSecond;
    std::vector<std::vector<std::string>> pages;  // rows of each page
    std::vector<std::string> commands;
};

TEST(SignDemoPlan, PagesAndPressesFollowTheTokensLayout)
{
    const std::vector<std::string> kSampleFirst = {"转账汇款", "收款人:张三", "账号:62220202001",
                                                   "取消     ↓ 确认"};
    const std::vector<std::string> kSampleMiddle = {"收款人:张三", "账号:62220202001", "12233",
                                                    "取消 ↑  ↓ 确认"};
    const std::vector<std::string> kSampleLast = {"账号:62220202001", "12233", "金额:1,250.00元",
                                                  "取消 ↑     确认"};
    const PlanCase cases[] = {
        {"sample, confirmed", SampleTransfer(), false, true,
         {kSampleFirst, kSampleMiddle, kSampleLast},
         {"user t1 press # when 转账汇款", "user t1 press # when 收款人:张三",
          "user t1 press enter when 账号:62220202001", "user t1 press enter when 请您再次确认交易"}},
        {"sample, cancelled", SampleTransfer(), true, true,
         {kSampleFirst, kSampleMiddle, kSampleLast},
         {"user t1 press # when 转账汇款", "user t1 press # when 收款人:张三",
          "user t1 press esc when 账号:62220202001"}},
        {"four lines", TransferXml("Transfer"), false, true,
         {{"Transfer", "Account:62220202", "00112233", "取消     ↓ 确认"},
          {"Account:62220202", "00112233", "Sum:12.50", "取消 ↑     确认"}},
         {"user t1 press # when Transfer", "user t1 press enter when Account:62220202",
          "user t1 press enter when 请您再次确认交易"}},
        {"not xml", "abc", false, false,
         {{"请您确认数字签名", "", "", "取消        确认"}},
         {"user t1 press enter when 请您确认数字签名"}},
    };
    for (const PlanCase &c : cases) {
        SCOPED_TRACE(c.pszName);
        ASSERT_FALSE(c.strData.empty());
        const SignDemoPlan plan = PlanConfirmation(c.strData, "t1", c.bCancel);
        EXPECT_EQ(c.bSecond, plan.bSecond);
        std::vector<std::vector<std::string>> pages;
        for (const SignDemoPage &page : plan.pages)
            pages.push_back(page.rows);
        EXPECT_EQ(c.pages, pages);
        EXPECT_EQ(c.commands, plan.commands);
    }
}

}  // namespace
