// The rescue menu on the console.
#pragma once

int rescue_menu();
