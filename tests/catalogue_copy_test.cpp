// The host side keeps its own copy of the parameter catalogue
// (service/params); it must agree with the library's on every rule that a
// terminal or the library's callers can observe: the tags, their forms, the
// lengths a write may carry, the lengths a reply may carry, and tag 18's
// fields.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "params.h"
#include "params/catalogue.h"
#include "sim/wire.h"

namespace {

std::vector<const dtu::ParamSpec *> library_rows() {
  std::size_t n = 0;
  const dtu::ParamSpec *rows = dtu::param_catalogue(&n);
  std::vector<const dtu::ParamSpec *> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(&rows[i]);
  return out;
}

// The forms, named alike on both sides.
std::string name_of(dtu::ParamForm f) {
  switch (f) {
    case dtu::ParamForm::kText: return "text";
    case dtu::ParamForm::kU8: return "u8";
    case dtu::ParamForm::kU16: return "u16";
    case dtu::ParamForm::kU32: return "u32";
    case dtu::ParamForm::kComposite: return "composite";
  }
  return "?";
}
std::string name_of(dtu::svc::ParamForm f) {
  switch (f) {
    case dtu::svc::ParamForm::kText: return "text";
    case dtu::svc::ParamForm::kU8: return "u8";
    case dtu::svc::ParamForm::kU16: return "u16";
    case dtu::svc::ParamForm::kU32: return "u32";
    case dtu::svc::ParamForm::kComposite: return "composite";
  }
  return "?";
}

TEST(CatalogueCopy, ListsTheLibrarysTagsInTheSameOrder) {
  std::vector<int> library, host;
  for (const dtu::ParamSpec *p : library_rows()) library.push_back(p->tag);
  for (const dtu::svc::ParamInfo &p : dtu::svc::param_catalogue()) host.push_back(p.tag);
  EXPECT_EQ(host, library);
}

TEST(CatalogueCopy, FormsAgreeTagByTag) {
  for (const dtu::ParamSpec *p : library_rows()) {
    const dtu::svc::ParamInfo *h = dtu::svc::find_param(p->tag);
    ASSERT_NE(h, nullptr) << p->tag;
    EXPECT_EQ(name_of(h->form), name_of(p->form)) << "tag " << int{p->tag};
  }
}

TEST(CatalogueCopy, TextWriteLengthsAgree) {
  for (const dtu::ParamSpec *p : library_rows()) {
    if (p->form != dtu::ParamForm::kText) continue;
    const dtu::svc::ParamInfo *h = dtu::svc::find_param(p->tag);
    ASSERT_NE(h, nullptr) << p->tag;
    EXPECT_EQ(h->min_length, p->set_min) << "tag " << int{p->tag};
    EXPECT_EQ(h->max_length, p->set_max) << "tag " << int{p->tag};
  }
}

TEST(CatalogueCopy, NumberMaximaFillTheBytesAWriteCarries) {
  for (const dtu::ParamSpec *p : library_rows()) {
    if (p->form == dtu::ParamForm::kText || p->form == dtu::ParamForm::kComposite) continue;
    const dtu::svc::ParamInfo *h = dtu::svc::find_param(p->tag);
    ASSERT_NE(h, nullptr) << p->tag;
    const std::uint64_t max = (std::uint64_t{1} << (8 * p->set_max)) - 1;
    EXPECT_EQ(h->max_value, max) << "tag " << int{p->tag};
  }
}

TEST(CatalogueCopy, ATagIsReadableExactlyWhenTheLibraryStoresIt) {
  for (const dtu::ParamSpec *p : library_rows()) {
    const dtu::svc::ParamInfo *h = dtu::svc::find_param(p->tag);
    ASSERT_NE(h, nullptr) << p->tag;
    EXPECT_EQ(h->readable, p->size != 0) << "tag " << int{p->tag};
  }
}

// Every value length an element can state (its length byte is a signed
// byte of at least 2, so values of 0 to 125 bytes).
TEST(CatalogueCopy, ReplyLengthRulesAgree) {
  for (const dtu::ParamSpec *p : library_rows())
    for (std::size_t len = 0; len <= 125; ++len) {
      const bool library = p->size != 0 && ((len == 0 && p->empty_ok) ||
                                            (len >= p->reply_min && len <= p->reply_max));
      EXPECT_EQ(dtu::svc::reply_value_ok(p->tag, len), library) << "tag " << int{p->tag} << ", " << len << " bytes";
    }
}

// Tag 18: the host side's field ranges are what the library encodes; just
// outside them (within a byte) the library refuses.
TEST(CatalogueCopy, CompositeFieldRangesAreTheLibrarys) {
  const dtu::svc::CompositeField *fields = dtu::svc::composite_fields();
  auto text_with = [&](int field, std::uint32_t value) {
    std::string t;
    for (int i = 0; i < 5; ++i) t += (i ? "-" : "") + std::to_string(i == field ? value : fields[i].min);
    return t;
  };
  std::uint8_t coded[dtu::kCompositeSize];
  for (int f = 0; f < 5; ++f) {
    EXPECT_TRUE(dtu::encode_composite(text_with(f, fields[f].min).c_str(), coded)) << text_with(f, fields[f].min);
    EXPECT_TRUE(dtu::encode_composite(text_with(f, fields[f].max).c_str(), coded)) << text_with(f, fields[f].max);
    if (f == 0) continue;  // N1 is three bytes, cut rather than refused
    if (fields[f].min > 0)
      EXPECT_FALSE(dtu::encode_composite(text_with(f, fields[f].min - 1).c_str(), coded)) << text_with(f, fields[f].min - 1);
    if (fields[f].max < 255)
      EXPECT_FALSE(dtu::encode_composite(text_with(f, fields[f].max + 1).c_str(), coded)) << text_with(f, fields[f].max + 1);
  }
  EXPECT_EQ(fields[0].max, 0xFFFFFFu);  // N1 fills its three bytes
}

}  // namespace

// The simulated terminal answers reads from a tag list of its own (the
// terminal's side is written apart from the library); it must offer the same
// tags, with numbers of the width a reply carries and texts a reply may hold.
TEST(CatalogueCopy, SimulatorTagsAreTheLibrarysReadableTags) {
  for (const dtu::ParamSpec *p : library_rows()) {
    SCOPED_TRACE("tag " + std::to_string(p->tag));
    const sim::Tag *t = sim::find_tag(p->tag);
    ASSERT_NE(t, nullptr);
    if (p->size == 0) {
      EXPECT_EQ(t->form, sim::Form::kWriteOnly);
    } else if (p->form == dtu::ParamForm::kText) {
      EXPECT_EQ(t->form, sim::Form::kText);
      EXPECT_LE(t->width, p->reply_max);
    } else if (p->form == dtu::ParamForm::kComposite) {
      EXPECT_EQ(t->form, sim::Form::kComposite);
      EXPECT_EQ(t->width, p->reply_max);
    } else {
      EXPECT_EQ(t->form, sim::Form::kNumber);
      EXPECT_EQ(t->width, p->reply_max);
    }
  }
  EXPECT_EQ(sim::tags().size(), library_rows().size());
}
