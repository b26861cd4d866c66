// libFuzzer: one add or removal on a scratch list, checked against the plain model.
// Input: a flags byte (bit 0 add, bit 1 no list file), the name, a zero byte, the list.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../list_model.h"
#include "print_list.h"

namespace {

const std::string &scratch_list()
{
	static const std::string path = [] {
		char dir[] = "/tmp/printlist-fuzz.XXXXXX";
		if (!mkdtemp(dir))
			abort();
		return std::string(dir) + "/list";
	}();
	return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
	const size_t nul = rest.find('\0');
	if (nul == std::string::npos)
		return 0;
	const int mode = (data[0] & 1) ? LIST_ADD : LIST_REMOVE;
	const std::string name = rest.substr(0, nul);
	list_bytes before;
	if (!(data[0] & 2))
		before = rest.substr(nul + 1);

	const std::string &path = scratch_list();
	write_list_file(path, before);
	list_run run;
	if (start_run(run, path.c_str()))
		save_list(run, load_list(run, name.c_str()), name.c_str(), mode);
	end_run(run);
	if (read_list_file(path) != model_change(before, name, mode))
		abort();
	return 0;
}
