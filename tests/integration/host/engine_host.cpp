// Uses the installed engine library: constructs an engine over a folder and
// processes a step that has no notebook there.
#include <kemora/motor/motor.hpp>
#include <kemora/version.hpp>

#include <iostream>

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  kemora::motor::Motor m({.work_dir = argv[1], .data_paths = kemora::motor::DataPaths{{"kredi_db", "/k"}}});
  bool ok = m.adim_isle("marts");
  std::cout << "engine " << kemora::version << " steps=" << kemora::motor::ADIM_REGISTRY.size()
            << " result=" << ok << " status=" << m.ozet_satirlar().at(0).durum << "\n";
  return ok ? 1 : 0;
}
