; Rules shared by JavaScript and TypeScript. Later patterns win on the same name,
; so the general rule comes first and the more particular ones after it.

; Variables of the file, exported or not; "const" ones are constants.
(program (lexical_declaration (variable_declarator name: (identifier) @name) @definition.variable))
(program (variable_declaration (variable_declarator name: (identifier) @name) @definition.variable))
(export_statement declaration: (lexical_declaration (variable_declarator name: (identifier) @name) @definition.variable))
(program (lexical_declaration kind: "const" (variable_declarator name: (identifier) @name) @definition.constant))
(export_statement declaration: (lexical_declaration kind: "const" (variable_declarator name: (identifier) @name) @definition.constant))
(program (lexical_declaration (variable_declarator name: (object_pattern [
  (shorthand_property_identifier_pattern) @name
  (pair_pattern value: (identifier) @name)]) @definition.constant)))

; Functions bound to a name at any depth.
(variable_declarator name: (identifier) @name
  value: [(arrow_function) (function_expression) (generator_function)]) @definition.function
(assignment_expression
  left: [(identifier) @name (member_expression property: (property_identifier) @name)]
  right: [(arrow_function) (function_expression) (generator_function) (class)]) @definition.function
(function_declaration name: (identifier) @name) @definition.function
(generator_function_declaration name: (identifier) @name) @definition.function
(class_declaration name: (_) @name) @definition.class
(class name: (_) @name) @definition.class
(variable_declarator name: (identifier) @name value: (class)) @definition.class

; Members of classes and object literals. Keys whose value is plain data are
; not definitions; keys holding an object are, as their members are.
(method_definition name: [(property_identifier) (private_property_identifier)] @name) @definition.method
(pair key: [(property_identifier) (string)] @name value: (object)) @definition.property
(pair key: [(property_identifier) (string)] @name
  value: [(arrow_function) (function_expression) (generator_function)]) @definition.method
(pair key: [(property_identifier) (string)] @name value: (class)) @definition.class

; References.

(new_expression constructor: [
  (identifier) @name
  (member_expression property: (property_identifier) @name)]) @reference.new

(import_specifier name: (identifier) @name) @reference.import
(import_clause (identifier) @name) @reference.import
(import_statement source: (string (string_fragment) @name)) @reference.import
(export_statement source: (string (string_fragment) @name)) @reference.import
((call_expression
   function: (identifier) @_require
   arguments: (arguments . (string (string_fragment) @name))) @reference.import
  (#eq? @_require "require"))
