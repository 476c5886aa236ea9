// Flattening a 1 MiB answer against a bare pugixml parse of the same text.
#include "fonws/Xml.h"

#include <pugixml.hpp>

#include <benchmark/benchmark.h>
#include <string>

namespace {

// A receipt-check answer with as many results as make 1 MiB.
std::string bigAnswer()
{
    std::string answer = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
                         "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header/>"
                         "<SOAP-ENV:Body><ns0:rkdbResponse xmlns:ns0=\"https://finanzonline.bmf.gv.at/rkdb\">"
                         "<ns0:paket_nr>1</ns0:paket_nr><ns0:ts_erstellung>2026-12-07T08:15:00</ns0:ts_erstellung>";
    for (int n = 1; answer.size() < (1u << 20); ++n) {
        answer += "<ns0:result><ns0:satznr>" + std::to_string(n)
                  + "</ns0:satznr><ns0:rkdbMessage><ns0:rc>0</ns0:rc><ns0:msg>Beleg gepr\xC3\xBC"
                    "ft</ns0:msg></ns0:rkdbMessage><ns0:verificationResultList><ns0:verificationResult>"
                    "<ns0:verificationId>VERIFICATION_FROM_CASHBOX</ns0:verificationId>"
                    "<ns0:verificationState>PASS</ns0:verificationState></ns0:verificationResult>"
                    "</ns0:verificationResultList></ns0:result>\n";
    }
    return answer + "</ns0:rkdbResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

const std::string& answer()
{
    static const std::string text = bigAnswer();
    return text;
}

void BM_PugixmlParse(benchmark::State& state)
{
    for (auto _ : state) {
        pugi::xml_document document;
        benchmark::DoNotOptimize(document.load_buffer(answer().data(), answer().size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer().size()));
}

void BM_Xml2Array(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(fonws::Xml2Array(answer()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer().size()));
}

BENCHMARK(BM_PugixmlParse)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Xml2Array)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
