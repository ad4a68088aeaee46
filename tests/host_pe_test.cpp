// The NT image loader on bad images: each defect of the shipped image,
// made one at a time, must be refused with a message naming it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "host_image.h"

#ifndef TOLVANEX_NT_IMAGE
#define TOLVANEX_NT_IMAGE ""
#endif

namespace {

using tolvanex::host::pe::Image;
using tolvanex::host::pe::ImageError;

class ImageLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ifstream in(TOLVANEX_NT_IMAGE, std::ios::binary);
        if (!in)
            GTEST_SKIP() << "no NT image in this configuration";
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        path_ = std::filesystem::temp_directory_path() /
                (std::string("tolvanex-image-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                 "-" + std::to_string(::getpid()) + ".sys");
    }
    void TearDown() override {
        if (!path_.empty())
            std::filesystem::remove(path_);
    }

    std::uint32_t u32(std::size_t off) const {
        std::uint32_t v;
        std::memcpy(&v, bytes_.data() + off, 4);
        return v;
    }
    std::uint16_t u16(std::size_t off) const {
        std::uint16_t v;
        std::memcpy(&v, bytes_.data() + off, 2);
        return v;
    }
    void put16(std::size_t off, std::uint16_t v) { std::memcpy(bytes_.data() + off, &v, 2); }
    void put32(std::size_t off, std::uint32_t v) { std::memcpy(bytes_.data() + off, &v, 4); }
    std::size_t pe() const { return u32(0x3C); }
    std::size_t optional() const { return pe() + 24; }
    std::uint32_t directory(int index) const { return u32(optional() + 96 + 8 * index); }
    // The file offset of an RVA, through the section table.
    std::size_t file_offset(std::uint32_t rva) const {
        std::uint16_t sections = u16(pe() + 6);
        std::uint16_t optional_size = u16(pe() + 20);
        for (std::uint16_t i = 0; i < sections; ++i) {
            std::size_t h = optional() + optional_size + 40u * i;
            std::uint32_t va = u32(h + 12), raw = u32(h + 16), at = u32(h + 20);
            if (rva >= va && rva < va + raw)
                return at + (rva - va);
        }
        ADD_FAILURE() << "RVA " << rva << " is in no section";
        return 0;
    }
    std::size_t find(const std::string &text) const {
        auto it = std::search(bytes_.begin(), bytes_.end(), text.begin(), text.end());
        EXPECT_NE(it, bytes_.end()) << text;
        return static_cast<std::size_t>(it - bytes_.begin());
    }

    // Loads the image as changed; returns the loader's message.
    std::string refusal() {
        {
            std::ofstream out(path_, std::ios::binary);
            out.write(reinterpret_cast<const char *>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
        }
        try {
            auto image = Image::load(path_);
        } catch (const ImageError &e) {
            return e.what();
        }
        return "(loaded)";
    }

    std::vector<unsigned char> bytes_;
    std::filesystem::path path_;
};

TEST_F(ImageLoaderTest, RefusesWhatIsNotAnI386PeImage) {
    auto original = bytes_;
    bytes_[0] = 'Z';
    EXPECT_NE(refusal().find("not a PE image (no MZ header)"), std::string::npos);
    bytes_ = original;
    bytes_[pe()] = 'X';
    EXPECT_NE(refusal().find("no PE signature"), std::string::npos);
    bytes_ = original;
    put16(pe() + 4, 0x8664);
    EXPECT_NE(refusal().find("machine 0x00008664 is not i386"), std::string::npos);
    bytes_ = original;
    put16(optional(), 0x020B);
    EXPECT_NE(refusal().find("not a 32-bit PE image"), std::string::npos);
}

TEST_F(ImageLoaderTest, RefusesAnImageCutShortOrOutOfBounds) {
    auto original = bytes_;
    bytes_.resize(0x300);
    std::string why = refusal();
    EXPECT_TRUE(why.find("truncated") != std::string::npos || why.find("do not fit") != std::string::npos) << why;
    bytes_ = original;
    put32(optional() + 16, 0x7FFFFFF0); // entry point
    EXPECT_NE(refusal().find("the entry point lies outside the image"), std::string::npos);
    bytes_ = original;
    put32(optional() + 56, 0); // image size
    EXPECT_NE(refusal().find("image size 0 is out of range"), std::string::npos);
}

TEST_F(ImageLoaderTest, RefusesARelocationAnI386ImageDoesNotUse) {
    std::uint32_t relocs = directory(5);
    ASSERT_NE(relocs, 0u);
    std::size_t first_entry = file_offset(relocs) + 8;
    put16(first_entry, static_cast<std::uint16_t>((10u << 12) | (u16(first_entry) & 0x0FFF))); // DIR64
    EXPECT_NE(refusal().find("relocation type 10"), std::string::npos);
}

TEST_F(ImageLoaderTest, NamesEveryImportTheHostLacks) {
    // A routine the host does not have, and a DLL it does not know.
    bytes_[find("KeSetEvent") + 9] = 'X';
    bytes_[find("HAL.dll") + 2] = 'X';
    std::string why = refusal();
    EXPECT_NE(why.find("imports what the host does not provide"), std::string::npos) << why;
    EXPECT_NE(why.find("ntoskrnl.exe!KeSetEvenX"), std::string::npos) << why;
    for (const char *routine : {"KeGetCurrentIrql", "KeStallExecutionProcessor", "KfAcquireSpinLock", "KfReleaseSpinLock"})
        EXPECT_NE(why.find(std::string("HAX.dll!") + routine), std::string::npos) << why;
    EXPECT_EQ(why.find("NdisAllocateMemory"), std::string::npos) << why;
}

TEST_F(ImageLoaderTest, RefusesAnImportByOrdinal) {
    std::size_t descriptor = file_offset(directory(1));
    std::size_t lookup = file_offset(u32(descriptor)); // the first DLL's first entry
    put32(lookup, 0x80000007);
    EXPECT_NE(refusal().find("ordinal 7 (the host binds imports by name)"), std::string::npos);
}

TEST_F(ImageLoaderTest, ShippedImageBindsEveryImport) {
    std::string why = refusal();
#if defined(__i386__)
    EXPECT_EQ(why, "(loaded)");
#else
    // Every import is known; only the 32-bit host can run it.
    EXPECT_NE(why.find("runs on the 32-bit host only"), std::string::npos) << why;
#endif
}

TEST(ImageImports, BoundPerDllWithoutCase) {
    using tolvanex::host::pe::host_provides;
    EXPECT_TRUE(host_provides("NDIS.SYS", "NdisMRegisterMiniport"));
    EXPECT_TRUE(host_provides("ndis.sys", "NdisMRegisterMiniport"));
    EXPECT_TRUE(host_provides("HAL.dll", "KfAcquireSpinLock"));
    EXPECT_FALSE(host_provides("ntoskrnl.exe", "KfAcquireSpinLock")); // HAL's, not the executive's
    EXPECT_FALSE(host_provides("ntoskrnl.exe", "KeBugCheckEx"));
    EXPECT_FALSE(host_provides("NDIS.SYS", "ndismregisterminiport")); // routine names keep their case
}

} // namespace
