// libFuzzer target: the template parser and renderer. Each input is the
// source of template "main.j2", rendered against a fixed context. Templates
// live in memory only (TemplateEnvironment::add_source with an empty search
// folder): no file is read per execution. A TemplateError is an expected
// outcome; any other exception, a crash or a sanitizer report is a bug.
//
//   fuzz: template_fuzz -dict=tests/fuzz/template.dict -max_len=2048 tests/fuzz/corpus/template
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string>
#include <string_view>

#include "kemora/pipeline/panogen/template/template.hpp"

namespace {

namespace pg = kemora::pipeline::panogen::tmpl;

/// Small budgets, so that no input takes long: a loop over range(100000)
/// inside another ends in the step limit after 20,000 iterations.
constexpr pg::TemplateLimits kLimits{.max_steps = 20'000, .max_bytes = 1 << 20, .max_range = 100'000};

const pg::TemplateContext& context() {
  static const pg::TemplateContext ctx = [] {
    using V = pg::TemplateValue;
    pg::TemplateContext c;
    c.set("name", "Şube Ç — İstanbul 😀");
    c.set("ascii", "hello");
    c.set("empty", "");
    c.set("html", "<b>\"a\" & 'b'</b>");
    c.set("n", 42);
    c.set("neg", -7);
    c.set("zero", 0);
    c.set("big", static_cast<long long>(std::numeric_limits<std::int64_t>::max()));
    c.set("small", static_cast<long long>(std::numeric_limits<std::int64_t>::min()));
    c.set("x", 2.5);
    c.set("nan", std::nan(""));
    c.set("inf", std::numeric_limits<double>::infinity());
    c.set("flag", true);
    c.set("nothing", V::none());
    c.set("l", V::List{1, 2, 3, "a", 1.5, V::none()});
    c.set("words", V::List{"elma", "armut", "çilek"});
    c.set("pairs", V::List{V::tuple({"a", 1}), V::tuple({"b", 2})});
    pg::TemplateMap inner;
    inner.set("c", "deep").set("l", V::List{V::List{7, 8}, V::List{9}});
    pg::TemplateMap m;
    m.set("a", 1).set("b", inner).set("ş", "ü").set("none", V::none());
    c.set("m", m);
    V::List rows;
    for (int i = 0; i < 5; ++i) {
      pg::TemplateMap r;
      r.set("firma", "Firma " + std::to_string(i) + " A.Ş.")
          .set("son_risk", i * 1.25)
          .set("segment", i % 2 ? "KOBI" : "TICARI")
          .set("donemler", V::List{"2024-01", "2024-02"})
          .set("skor", i == 3 ? V::none() : V(i * 10));
      rows.emplace_back(std::move(r));
    }
    c.set("rows", rows);
    c.set("data_chunks", V::List{"[[1,\"a\"]]", "[[2,\"b\"]]"});
    c.set("meta", pg::TemplateMap{{"donemler", V::List{"2024-01"}}, {"title", "Başlık"}});
    c.set("enumerate", pg::template_enumerate());
    c.set("thrower", V::function([](const V::List&) -> V { throw std::runtime_error("callable failed"); }));
    return c;
  }();
  return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)context();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pg::TemplateEnvironment env("", kLimits);
  env.add_source("main.j2", std::string_view(reinterpret_cast<const char*>(data), size));
  env.add_source("part.j2", "[{{ name }}{% for r in rows %}{{ r.firma|upper }}{% endfor %}]");
  env.add_source("self.j2", "s{% include 'self.j2' %}");
  env.add_source("a.j2", "{% if true %}a{% include 'b.j2' %}{% endif %}");
  env.add_source("b.j2", "b{% include 'a.j2' %}");
  env.add_source("bad.j2", "{{ 1 + }}");
  try {
    std::string out = env.render("main.j2", context());
    if (out.size() > (std::size_t{1} << 21)) {
      std::fprintf(stderr, "output of %zu bytes passes the byte budget\n", out.size());
      std::abort();
    }
  } catch (const kemora::pipeline::panogen::TemplateError&) {
    // expected for most inputs
  } catch (const std::exception& e) {
    std::fprintf(stderr, "non-TemplateError exception escaped render: %s\n", e.what());
    std::abort();
  }
  return 0;
}
