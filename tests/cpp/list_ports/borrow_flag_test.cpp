#include "list_ports/borrow_flag.h"

#include <gtest/gtest.h>

namespace quorvelin::list_ports {
namespace {

TEST(BorrowFlag, SharedBorrowsStackAndBlockTheExclusiveOne) {
    BorrowFlag flag;
    {
        SharedBorrow first(flag);
        SharedBorrow second(flag);
        EXPECT_TRUE(first.held() && second.held());
        ExclusiveBorrow writer(flag);
        EXPECT_FALSE(writer.held());
    }
    ExclusiveBorrow writer(flag);  // every shared borrow is gone
    EXPECT_TRUE(writer.held());
}

TEST(BorrowFlag, ExclusiveBorrowRefusesEveryOther) {
    BorrowFlag flag;
    {
        ExclusiveBorrow writer(flag);
        ASSERT_TRUE(writer.held());
        EXPECT_FALSE(SharedBorrow(flag).held());
        EXPECT_FALSE(ExclusiveBorrow(flag).held());
    }
    EXPECT_TRUE(SharedBorrow(flag).held());
}

TEST(BorrowFlag, RefusedBorrowReleasesNothing) {
    BorrowFlag flag;
    ExclusiveBorrow writer(flag);
    { SharedBorrow refused(flag); }  // must not undo the writer's hold
    EXPECT_FALSE(SharedBorrow(flag).held());
}

}  // namespace
}  // namespace quorvelin::list_ports
