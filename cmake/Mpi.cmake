# friendlyNumbers_mpi: the search shared out over MPI ranks, each with its own OpenMP threads, on
# the same core as friendlyNumbers; its manual page and install rules. Included from the top-level
# CMakeLists.txt when FRIENDLY_MPI is on, after Install.cmake.

# The C API only: the deprecated C++ bindings stay out of the build.
set(MPI_CXX_SKIP_MPICXX ON)
find_package(MPI REQUIRED COMPONENTS CXX)

add_library(friendly_mpi STATIC src/mpi/mpi_search.cpp src/mpi/mpi_answer.cpp src/mpi/mpi_job.cpp)
target_link_libraries(friendly_mpi PUBLIC friendly_core MPI::MPI_CXX)
add_executable(friendlyNumbers_mpi src/app/mpi_main.cpp)
target_link_libraries(friendlyNumbers_mpi PRIVATE friendly_mpi)

set(FRIENDLY_MPI_MANUAL_PAGE "${PROJECT_BINARY_DIR}/man/friendlyNumbers_mpi.1")
configure_file("${PROJECT_SOURCE_DIR}/man/friendlyNumbers_mpi.1" "${FRIENDLY_MPI_MANUAL_PAGE}"
               @ONLY)

# Installed on request only, `cmake --install BUILD --component mpi`: the default install and the
# Debian package hold friendlyNumbers alone in every build, with no dependency on MPI. The last
# rule records the component's files for the uninstall target, as Install.cmake does for the
# default install.
install(TARGETS friendlyNumbers_mpi RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT mpi
        EXCLUDE_FROM_ALL)
install(FILES "${FRIENDLY_MPI_MANUAL_PAGE}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
        COMPONENT mpi EXCLUDE_FROM_ALL)
install(CODE "set(FRIENDLY_INSTALLED_LIST \"${FRIENDLY_INSTALLED_LIST}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/RecordInstall.cmake\")" COMPONENT mpi EXCLUDE_FROM_ALL)
